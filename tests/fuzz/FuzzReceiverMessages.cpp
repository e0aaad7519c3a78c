// SPDX-License-Identifier: Apache-2.0
// The root process reads whatever an unprivileged receiver sends, and the receiver what the root sends: each
// decoder must survive any bytes, and what it accepts must be exactly one message inside its bounds.
#include "FuzzChecks.h"
#include "platform/ReceiverMessages.h"

#include <algorithm>
#include <cstdint>
#include <variant>

namespace {

using namespace platform::receiver;
using fuzz::require;

bool sameBytes(platform::Bytes const& encoded, std::span<std::uint8_t const> input)
{
    return std::equal(encoded.begin(), encoded.end(), input.begin(), input.end());
}

void checkFromReceiver(std::span<std::uint8_t const> input)
{
    auto decoded = decodeFromReceiver(input);
    if (!decoded)
        return;
    if (auto const* head = std::get_if<Head>(&*decoded)) {
        fuzz::checkHead(*head);
        require(sameBytes(encode(*head), input));
    } else if (auto const* piece = std::get_if<Piece>(&*decoded)) {
        require(piece->length >= 1 && piece->length <= maximumPiece);
        require(sameBytes(encode(*piece), input));
    } else {
        auto const& end = std::get<End>(*decoded);
        require(end.curlCode >= 0 && end.curlCode <= 999);
        require(sameBytes(encode(end), input));
    }
}

void checkFromRoot(std::span<std::uint8_t const> input)
{
    auto decoded = decodeFromRoot(input);
    if (!decoded)
        return;
    if (auto const* request = std::get_if<Request>(&*decoded)) {
        fuzz::checkRequest(*request);
        require(sameBytes(encode(*request), input));
    } else {
        require(sameBytes(encode(std::get<Decision>(*decoded)), input));
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::span<std::uint8_t const> input(data, size);
    checkFromReceiver(input);
    checkFromRoot(input);
    return 0;
}
