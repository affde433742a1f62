// The fixed style and script of the HTML page.
#pragma once

namespace qel::report {

extern const char kPageStyle[];
extern const char kPageScript[];

}  // namespace qel::report
