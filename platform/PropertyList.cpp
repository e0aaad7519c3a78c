// SPDX-License-Identifier: Apache-2.0
#include "platform/PropertyList.h"

#include <limits>
#include <plist/plist.h>

namespace platform {

namespace {

    /// The reader's failure, in the platform's words; libplist itself gives no reason, so the detail says which reader
    /// refused the bytes.
    Error parseError(std::string_view detail)
    {
        auto error = Error::described(
            ErrorDomain::Cocoa, 3840, "The data couldn't be read because it isn't in the correct format.");
        error.userInfo.emplace("NSDebugDescription", std::string(detail));
        return error;
    }

    plist_t item(void* dictionary, std::string_view key, plist_type type)
    {
        if (!dictionary || plist_get_node_type(dictionary) != PLIST_DICT)
            return nullptr;
        plist_t value = plist_dict_get_item(dictionary, std::string(key).c_str());
        return value && plist_get_node_type(value) == type ? value : nullptr;
    }

}

PropertyList::PropertyList(void* p)
    : m_node(p, plist_free)
{
}

std::expected<PropertyList, Error> PropertyList::fromBytes(std::span<std::uint8_t const> bytes)
{
    if (bytes.empty())
        return std::unexpected(parseError("Cannot parse a NULL or zero-length data"));
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::unexpected(parseError("Property list too large"));
    auto const* data = reinterpret_cast<char const*>(bytes.data());
    auto length = static_cast<std::uint32_t>(bytes.size());
    bool binary = plist_is_binary(data, length);
    plist_t root = nullptr;
    (binary ? plist_from_bin : plist_from_xml)(data, length, &root);
    if (!root)
        return std::unexpected(parseError(binary ? "Malformed binary property list" : "Not a valid XML property list"));
    return PropertyList(root);
}

PropertyList PropertyList::dictionary()
{
    return PropertyList(plist_new_dict());
}

bool PropertyList::isDictionary() const
{
    return m_node && plist_get_node_type(m_node.get()) == PLIST_DICT;
}

std::optional<bool> PropertyList::boolean(std::string_view key) const
{
    plist_t value = item(m_node.get(), key, PLIST_BOOLEAN);
    return value ? std::optional(plist_bool_val_is_true(value) != 0) : std::nullopt;
}

std::optional<std::string> PropertyList::string(std::string_view key) const
{
    plist_t value = item(m_node.get(), key, PLIST_STRING);
    if (!value)
        return std::nullopt;
    // NOTE: a string may hold U+0000; libplist's copying getter asserts on that, so take the stored bytes with their
    // length.
    uint64_t length = 0;
    char const* text = plist_get_string_ptr(value, &length);
    if (!text)
        return std::nullopt;
    return std::string(text, length);
}

std::optional<std::uint64_t> PropertyList::unsignedInteger(std::string_view key) const
{
    plist_t value = item(m_node.get(), key, PLIST_UINT);
    if (!value)
        return std::nullopt;
    uint64_t n = 0;
    plist_get_uint_val(value, &n);
    return n;
}

bool PropertyList::holdsData(std::string_view key) const
{
    return item(m_node.get(), key, PLIST_DATA) != nullptr;
}

void PropertyList::set(std::string_view key, std::string_view value)
{
    plist_dict_set_item(m_node.get(), std::string(key).c_str(), plist_new_string(std::string(value).c_str()));
}

void PropertyList::set(std::string_view key, std::uint64_t value)
{
    plist_dict_set_item(m_node.get(), std::string(key).c_str(), plist_new_uint(value));
}

std::expected<Bytes, Error> PropertyList::binaryData() const
{
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(m_node.get(), &bytes, &length);
    if (!bytes)
        return std::unexpected(Error::described(ErrorDomain::Cocoa, 3851, "Property list invalid for format"));
    Bytes result(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
    plist_to_bin_free(bytes);
    return result;
}

}
