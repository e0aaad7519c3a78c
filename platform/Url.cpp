// SPDX-License-Identifier: Apache-2.0
#include "platform/Url.h"

#include "platform/HttpHeaders.h"

#include <array>
#include <curl/curl.h>
#include <memory>

namespace platform {

namespace {

    bool isQueryAllowed(unsigned char c)
    {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            return true;
        constexpr std::string_view punctuation = "-._~!$&'()*+,;=:@/?";
        return punctuation.find(static_cast<char>(c)) != std::string_view::npos;
    }

    /// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is malformed.
    size_t utf8SequenceLength(std::string_view text, size_t i)
    {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        if (lead < 0x80)
            return 1;
        size_t length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return 0;
        // The smallest code point that needs this many bytes.
        constexpr unsigned minimumOfLength[] { 0, 0, 0x80, 0x800, 0x10000 };
        unsigned codePoint = lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80)
                return 0;
            codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not text.
        if (codePoint < minimumOfLength[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return 0;
        return length;
    }

    /// Nothing when `requireText` is set and `text` is not valid UTF-8.
    template<typename Allowed>
    std::optional<std::string> percentEncode(std::string_view text, Allowed allowed, bool requireText)
    {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string encoded;
        encoded.reserve(text.size());
        for (size_t i = 0; i < text.size();) {
            size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                if (requireText)
                    return std::nullopt;
                length = 1;
            }
            for (size_t k = i; k < i + length; ++k) {
                auto c = static_cast<unsigned char>(text[k]);
                if (allowed(c))
                    encoded += static_cast<char>(c);
                else
                    encoded += { '%', hex[c >> 4], hex[c & 0x0F] };
            }
            i += length;
        }
        return encoded;
    }

    /// The parts of a URL that name its resource, in the order of `resourcePartNames`.
    enum ResourcePart { Host, Scheme, User, Password, Zone, Port, Path, ResourcePartCount };
    constexpr CURLUPart resourcePartNames[] { CURLUPART_HOST, CURLUPART_SCHEME, CURLUPART_USER, CURLUPART_PASSWORD,
        CURLUPART_ZONEID, CURLUPART_PORT, CURLUPART_PATH };
    static_assert(std::size(resourcePartNames) == ResourcePartCount);
    using ResourceParts = std::array<std::optional<std::string>, ResourcePartCount>;

    /// Every part of `text` but its query and fragment, the host in lower case and the default port filled in; nothing
    /// when libcurl refuses the text. Any scheme parses here: the download service decides which it supports.
    std::optional<ResourceParts> resourceParts(std::string_view text)
    {
        std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
        if (!handle
            || curl_url_set(handle.get(), CURLUPART_URL, std::string(text).c_str(), CURLU_NON_SUPPORT_SCHEME)
                != CURLUE_OK)
            return std::nullopt;
        ResourceParts parts;
        for (size_t i = 0; i < parts.size(); ++i) {
            char* part = nullptr;
            auto got = curl_url_get(handle.get(), resourcePartNames[i], &part, CURLU_DEFAULT_PORT);
            // An absent part stays nothing: absent and empty differ.
            if (got == CURLUE_OK && part)
                parts[i] = part;
            curl_free(part);
            if (got == CURLUE_OUT_OF_MEMORY)
                return std::nullopt;
        }
        if (parts[Host])
            for (char& c : *parts[Host])
                c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        return parts;
    }

}

std::optional<std::string> percentEncodeQueryAllowed(std::string_view text)
{
    return percentEncode(text, isQueryAllowed, true);
}

std::optional<URL> URL::fromString(std::string_view text)
{
    auto parts = text.empty() ? std::nullopt : resourceParts(text);
    if (!parts)
        return std::nullopt;
    return URL { std::string(text), (*parts)[Scheme].value_or(""), (*parts)[Path].value_or("") };
}

bool isHTTPURL(std::string_view text)
{
    if (text.empty() || text.size() > maximumURLLength || !isHeaderSafe(text)
        || text.find(' ') != std::string_view::npos)
        return false;
    auto url = URL::fromString(text);
    return url && (url->scheme == "http" || url->scheme == "https");
}

URL URL::fileURL(std::string_view path)
{
    // A path keeps "/" and the sub-delimiters but not "?" or "#"; one that is not UTF-8 is still a path, its bytes
    // encoded one by one.
    auto isPathAllowed = [](unsigned char c) { return c != '?' && isQueryAllowed(c); };
    return { "file://" + *percentEncode(path, isPathAllowed, false), "file", std::string(path) };
}

bool sameResource(std::string_view a, std::string_view b)
{
    auto first = resourceParts(a);
    return first && first == resourceParts(b);
}

}
