// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>

namespace velmora {

// Converts the file at `inputText` into the file at `outputText`: reads it
// whole, decodes it as hexadecimal digit pairs and writes the bytes.
//
// Both texts come as the user typed them; only the space character is
// trimmed from their ends (tabs and inner spaces stay), output first, before
// any file is touched. The input is read and closed before the output is
// opened, and the output is written only once decoding has succeeded, so a
// failure leaves it exactly as it was; the same file may be both.
//
// Handles no failure: FileFailure and OverflowFailure reach the caller.
void ConvertFile(const std::filesystem::path& inputText, const std::filesystem::path& outputText);

} // namespace velmora
