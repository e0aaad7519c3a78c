// SPDX-License-Identifier: Apache-2.0
#include "platform/Url.h"

#include <curl/curl.h>

namespace platform {

namespace {

    bool isQueryAllowed(unsigned char c)
    {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            return true;
        constexpr std::string_view punctuation = "-._~!$&'()*+,;=:@/?";
        return punctuation.find(static_cast<char>(c)) != std::string_view::npos;
    }

    bool isPathAllowed(unsigned char c)
    {
        // A path keeps "/" and the sub-delimiters but not "?" or "#".
        return c != '?' && isQueryAllowed(c);
    }

    /// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is malformed.
    size_t utf8SequenceLength(std::string_view text, size_t i)
    {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        size_t length;
        unsigned minimum;
        if (lead < 0x80)
            return 1;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            minimum = 0x10000;
        } else {
            return 0;
        }
        if (i + length > text.size())
            return 0;
        unsigned codePoint = lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80)
                return 0;
            codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not text.
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
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
                if (allowed(c)) {
                    encoded += static_cast<char>(c);
                } else {
                    encoded += '%';
                    encoded += hex[c >> 4];
                    encoded += hex[c & 0x0F];
                }
            }
            i += length;
        }
        return encoded;
    }

}

std::optional<std::string> percentEncodeQueryAllowed(std::string_view text)
{
    return percentEncode(text, isQueryAllowed, true);
}

std::optional<URL> URL::fromString(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    CURLU* handle = curl_url();
    if (!handle)
        return std::nullopt;
    std::string copy(text);
    std::optional<URL> result;
    // Any scheme parses here; the download service decides which it supports.
    if (curl_url_set(handle, CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        URL url;
        url.absoluteString = std::move(copy);
        char* part = nullptr;
        if (curl_url_get(handle, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) {
            url.scheme = part;
            curl_free(part);
        }
        part = nullptr;
        if (curl_url_get(handle, CURLUPART_PATH, &part, 0) == CURLUE_OK) {
            url.path = part;
            curl_free(part);
        }
        result = std::move(url);
    }
    curl_url_cleanup(handle);
    return result;
}

URL URL::fileURL(std::string_view path)
{
    URL url;
    url.scheme = "file";
    url.path = std::string(path);
    // A path that is not UTF-8 is still a path: its bytes are encoded one by one.
    url.absoluteString = "file://" + *percentEncode(path, isPathAllowed, false);
    return url;
}

}
