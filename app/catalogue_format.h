// The catalogue file, tev.xml: ISO-8859-1 text, every line ended by CR LF,
//
//   <?xml version="1.0" encoding="ISO-8859-1" ?>
//   <tevs>
//     <tev id="1234" displayed_name="Pfeile">
//       <frame type="svg" a="0" x="0" y="0" w="2100" h="990"/>
//     </tev>
//   </tevs>
//
// with one record (three lines) per image. The w and h values are the width
// and height texts with a "0" appended. These functions append the lines to
// a byte buffer; they do no I/O. The layout lives in catalogue_format.cc
// alone.
#ifndef TEVGEN_APP_CATALOGUE_FORMAT_H_
#define TEVGEN_APP_CATALOGUE_FORMAT_H_

#include <functional>
#include <string>
#include <string_view>

#include "app/catalogue_record.h"

namespace tevgen {

inline constexpr std::string_view kCatalogueName = "tev.xml";

// The declaration and root opening lines.
void AppendCatalogueHead(std::string* out);
// The root closing line.
void AppendCatalogueTail(std::string* out);
// Appends a size that is not in memory to `out`, escaped (AppendEscaped,
// which may be called for it in pieces), from where it lies.
using AppendSizeFunction = std::function<void(std::string* out)>;

// The record opening, frame and record closing lines of `record`. The
// width and height are `record`'s, but for one whose `append_width` or
// `append_height` is given (too long to keep in memory): that function
// appends it in its place, and may hand `*out` on and empty it meanwhile.
void AppendRecordLines(const CatalogueRecord& record, std::string* out,
                       const AppendSizeFunction& append_width = {},
                       const AppendSizeFunction& append_height = {});

// Appends `text` as attribute-value content that is always well-formed:
// & < > " become entities, TAB LF CR character references; the other bytes
// below 0x20, which XML 1.0 cannot hold, are left out; every other byte is
// copied unchanged.
void AppendEscaped(std::string_view text, std::string* out);

}  // namespace tevgen

#endif  // TEVGEN_APP_CATALOGUE_FORMAT_H_
