// Names as the volume stores them: UTF-16 in canonical decomposition, and the
// two catalog name orders.
#pragma once

#include <string>
#include <string_view>

namespace mkhfs {

// UTF-8 to the stored UTF-16 form: canonical decomposition except for the
// ranges U+2000-U+2FFF, U+F900-U+FAFF and everything beyond the BMP, which stay
// as they are. Throws std::runtime_error on invalid UTF-8.
std::u16string stored_name(std::string_view utf8);

// UTF-8 to UTF-16 without any decomposition (attribute names).
std::u16string plain_utf16(std::string_view utf8);

// Catalog name orders: case-folding (HFS+, HFSX 0xCF) and code-unit (HFSX 0xBC).
int compare_folded(std::u16string_view a, std::u16string_view b);
int compare_binary(std::u16string_view a, std::u16string_view b);

} // namespace mkhfs
