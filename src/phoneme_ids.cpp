#include "phoneme_ids.h"
