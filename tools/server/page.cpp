#include "page.h"

namespace orvel_server {

const char *const kPageHtml = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>orvel-server</title></head>
<body><h1>orvel-server</h1></body></html>
)PAGE";

}  // namespace orvel_server
