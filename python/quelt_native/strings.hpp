// Buffers of strings as array libraries export them: fixed-width UCS-4 items ("3w"), fixed-width
// bytes ("5s") and object pointers ("O"), read into the leaves the conversion fills strings from.
#pragma once

#include <memory>

#include "convert.hpp"

namespace Quelt::Python {

// Whether a buffer's format and item size name strings: "Nw" with 4 N bytes an item (native or
// little-endian), "Ns" with N, "O" with one object pointer.
bool isStringFormat(const Py_buffer& view);

// The strings of such a buffer, in any layout, as a Source of leaves: a str for each "w" item
// and bytes for each "s" item, their trailing NULs dropped (embedded ones kept), and the very
// objects of an "O" buffer, which must be str or bytes. The buffer is released once read.
Source readStringBuffer(std::unique_ptr<Buffer> buffer, const Context& context);

} // namespace Quelt::Python
