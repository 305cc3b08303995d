#include "web/operator_page.h"

#include <string_view>

#include "web_page/web_page_embedded.h"

namespace tolvarine::operator_control {
namespace {

std::string_view block(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

}  // namespace

std::string operator_page() {
  constexpr std::string_view kClosing = "</body>\n</html>";
  const std::string_view head_and_body = block(web_page::index_html, web_page::index_html_size);
  const std::string_view styles_and_dialog =
      block(web_page::protection_html, web_page::protection_html_size);
  std::string page;
  page.reserve(head_and_body.size() + styles_and_dialog.size() + kClosing.size());
  page.append(head_and_body).append(styles_and_dialog).append(kClosing);
  return page;
}

}  // namespace tolvarine::operator_control
