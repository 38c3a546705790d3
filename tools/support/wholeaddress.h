// The plain rule of where a moved address stands whole, for the reference scans that the rewrite's
// tests and its fuzz target compare the rewrite with.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>

// 1 when an address ends in the quote that closes its field (an odd run of quotes), else 0.
inline size_t closingQuote(const std::string& address) {
    size_t run = address.size() - 1 - address.find_last_not_of('"');
    return run % 2;
}

// Whether an address that ends before text[end] stands whole: the end of the text or a byte that
// cannot continue an address follows it, or it ends in the quote that closes its field.
inline bool standsWhole(const std::string& text, size_t end, const std::string& address) {
    return end == text.size() || std::strchr("\"' \t\r\n\f\v<>)|;,", text[end]) != nullptr ||
           closingQuote(address) == 1;
}

// Whether an address may begin at text[at]: a protocol-relative one ("//host/...") only at the
// start of the text or after a byte that cannot continue an address, "=" or "(", never as the tail
// of an http:// or https:// address.
inline bool beginsWhole(const std::string& text, size_t at, const std::string& address) {
    return address.compare(0, 2, "//") != 0 || at == 0 ||
           std::strchr("\"' \t\r\n\f\v<>)|;,=(", text[at - 1]) != nullptr;
}
