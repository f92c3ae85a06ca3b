// SPDX-License-Identifier: MIT
// The decoder against a reference written straight from the rules, sharing no
// code or table with it. The corpus holds texts of exactly 32,767 and 32,768
// characters for the limit; stretching every input would slow each run.

#include "velmora/hex_decoder.h"

#include "velmora/failure.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int ReferenceDigit(char character) {
    if (character >= '0' && character <= '9') {
        return character - '0';
    }
    if (character >= 'A' && character <= 'F') {
        return character - 'A' + 10;
    }
    return 0;
}

// The byte that the pair starting at `position` encodes.
int ReferenceByte(std::string_view hex, std::size_t position) {
    const int low = position + 1 < hex.size() ? ReferenceDigit(hex[position + 1]) : 0;
    return ReferenceDigit(hex[position]) * 16 + low;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view hex(reinterpret_cast<const char*>(data), size);
    std::string decoded;
    try {
        decoded = velmora::HexToText(hex);
    } catch (const velmora::OverflowFailure&) {
        Check(size > 32767);
        return 0;
    }
    Check(size <= 32767 && decoded.size() == (size + 1) / 2);
    // Each pair, and with it a third character that HexPairToChar must ignore.
    for (std::size_t in = 0; in < size; in += 2) {
        const char byte = static_cast<char>(ReferenceByte(hex, in));
        Check(decoded[in / 2] == byte && velmora::HexPairToChar(hex.substr(in, 3))[0] == byte);
    }
    return 0;
}
