// The web page served at "/": plain HTML, CSS and JavaScript, no outside requests.
#ifndef ORVEL_SERVER_PAGE_H
#define ORVEL_SERVER_PAGE_H

namespace orvel_server {

extern const char *const kPageHtml;

}  // namespace orvel_server

#endif
