// SPDX-License-Identifier: Apache-2.0
#pragma once

// Property lists, XML or binary, through libplist: the one place that includes it. A PropertyList owns its node.

#include "platform/Error.h"

#include <memory>
#include <span>

namespace platform {

class PropertyList {
public:
    /// XML or binary property-list bytes; a parse failure is NSCocoaErrorDomain 3840 with the reader's error text.
    [[nodiscard]] static std::expected<PropertyList, Error> fromBytes(std::span<std::uint8_t const> bytes);
    static PropertyList dictionary();

    [[nodiscard]] bool isDictionary() const;

    /// Values of a dictionary's keys, present only when of that exact type; of data, only whether it is there.
    [[nodiscard]] std::optional<bool> boolean(std::string_view key) const;
    [[nodiscard]] std::optional<std::string> string(std::string_view key) const;
    [[nodiscard]] std::optional<std::uint64_t> unsignedInteger(std::string_view key) const;
    [[nodiscard]] bool holdsData(std::string_view key) const;

    void set(std::string_view key, std::string_view value);
    void set(std::string_view key, std::uint64_t value);

    [[nodiscard]] std::expected<Bytes, Error> binaryData() const;

private:
    explicit PropertyList(void* node);
    std::unique_ptr<void, void (*)(void*)> m_node;
};

}
