// Texts that a package carries are shown on a terminal by `list`, and in the updater's dialog and log. A
// control or an invisible formatting character can forge a line of the listing or make one name look like
// another, so the tool escapes them when it prints and refuses them where it writes a package.
#pragma once

#include <string>
#include <string_view>

namespace corvantile::pack {

// C0 and C1 controls and DEL.
[[nodiscard]] bool IsControlCharacter(char32_t c);
// Controls, invisible formatting characters (bidirectional controls, zero-width characters, the byte order
// mark, tags), line and paragraph separators, and lone surrogates (given as their code unit).
[[nodiscard]] bool IsHiddenCharacter(char32_t c);

[[nodiscard]] bool HasControlCharacter(std::u16string_view text);
// The text begins or ends with a space of any width.
[[nodiscard]] bool HasEdgeSpace(std::u16string_view text);

// UTF-8 for a terminal: every hidden character becomes \u{XXXX} and a backslash becomes \\, so that no
// two texts print alike.
[[nodiscard]] std::string DisplayText(std::u16string_view text);

// Why a file name would show in the dialog or the log as something it is not; null when it would not.
// Only the packing tool applies this rule: the updater still opens what it opened before.
[[nodiscard]] const char* DescribeSpoofingName(std::u16string_view name);

}  // namespace corvantile::pack
