// SPDX-License-Identifier: Apache-2.0
#include "platform/Url.h"

#include "platform/HttpHeaders.h"

#include <curl/curl.h>
#include <memory>

namespace platform {

namespace {

    bool isQueryAllowed(unsigned char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string_view::npos;
    }

    /// Whether `text` is UTF-8: overlong forms, surrogates and values beyond Unicode are not text.
    bool isUTF8(std::string_view text)
    {
        // The smallest code point that needs this many bytes.
        constexpr unsigned minimumOfLength[] { 0, 0, 0x80, 0x800, 0x10000 };
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        for (size_t i = 0, length = 1; i < text.size(); i += length) {
            unsigned char lead = byte(i);
            length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
            if (lead < 0x80)
                length = 1;
            if (length == 0 || i + length > text.size())
                return false;
            unsigned codePoint = lead & (0x7F >> length);
            for (size_t k = 1; k < length; ++k) {
                if ((byte(i + k) & 0xC0) != 0x80)
                    return false;
                codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
            }
            if (codePoint < minimumOfLength[length] || codePoint > 0x10FFFF
                || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
                return false;
        }
        return true;
    }

    template<typename Allowed> std::string percentEncode(std::string_view text, Allowed allowed)
    {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string encoded;
        for (unsigned char c : text) {
            if (allowed(c))
                encoded += static_cast<char>(c);
            else
                encoded += { '%', hex[c >> 4], hex[c & 0x0F] };
        }
        return encoded;
    }

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
    if (!isUTF8(text))
        return std::nullopt;
    return percentEncode(text, isQueryAllowed);
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
    if (text.size() > maximumURLLength || !isHeaderSafe(text) || text.find(' ') != std::string_view::npos)
        return false;
    auto url = URL::fromString(text);
    return url && (url->scheme == "http" || url->scheme == "https");
}

URL URL::fileURL(std::string_view path)
{
    // A path keeps "/" and the sub-delimiters but not "?" or "#"; one that is not UTF-8 is still a path, its bytes
    // encoded one by one.
    auto isPathAllowed = [](unsigned char c) { return c != '?' && isQueryAllowed(c); };
    return { "file://" + percentEncode(path, isPathAllowed), "file", std::string(path) };
}

bool sameResource(std::string_view a, std::string_view b)
{
    auto first = resourceParts(a);
    return first && first == resourceParts(b);
}

}
