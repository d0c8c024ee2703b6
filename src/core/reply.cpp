#include "core/reply.hpp"

namespace qv::core {

Span clean_reply_utf32(const char32_t* s, std::size_t n) noexcept { return clean_reply(s, n); }

Span clean_reply_latin1(const unsigned char* s, std::size_t n) noexcept {
  return clean_reply(s, n);
}

}  // namespace qv::core
