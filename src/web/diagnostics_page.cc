#include "web/diagnostics_page.h"

namespace tolvarine::operator_control {

std::string diagnostics_page(uint16_t ui_port) {
  const std::string shell = "http://127.0.0.1:" + std::to_string(ui_port) + "/";
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
         "<title>Tolvarine-Redundancy-Control diagnostics</title>"
         "<style>body{font-family:Arial;background:#20252b;color:#eee;padding:24px}"
         "a{color:#9cc8ff}</style></head><body>"
         "<h3>Tolvarine-Redundancy-Control Diagnostics</h3>"
         "<p>The operating shell is <a href=\"" +
         shell + "\">" + shell +
         "</a>.</p>"
         "<pre id=\"s\">Loading...</pre>"
         "<script>"
         "setInterval(function(){"
         "fetch('/api/status').then(function(r){return r.json();}).then(function(j){"
         "document.getElementById('s').textContent=JSON.stringify(j,null,2);"
         "}).catch(function(){});"
         "},1000);"
         "</script></body></html>\n";
}

}  // namespace tolvarine::operator_control
