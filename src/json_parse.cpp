#include "json_parse.h"
