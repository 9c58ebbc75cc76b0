// Checks for text a caller passes through to the controller unchanged.
#pragma once

#include <string>
#include <string_view>

namespace epson {

/// Throws std::invalid_argument "<what> must not contain NUL bytes" when `text` holds one. A NUL
/// cannot reach the controller intact: it would cut the text short on the way.
void checkNoNul(std::string_view text, const std::string& what);

/// For text placed verbatim inside `$Execute,"..."`, where the wire has no escape: a quote would
/// end the statement early and a line ending the request, putting the rest on the wire as a
/// request of its own. Throws std::invalid_argument "<what> must not contain quotes or line
/// endings" for a quote, CR or LF, then checks as checkNoNul.
void checkVerbatimText(std::string_view text, const std::string& what);

/// A controller host name or address: not empty, and without a NUL, at which the resolver would
/// stop reading and connect somewhere else. Throws std::invalid_argument "Controller host must
/// not be empty" / "Controller host must not contain NUL bytes".
void checkHost(std::string_view host);

}  // namespace epson
