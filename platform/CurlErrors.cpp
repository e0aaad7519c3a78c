// SPDX-License-Identifier: Apache-2.0
#include "platform/CurlErrors.h"

#include "platform/Error.h"

#include <curl/curl.h>
#include <utility>

namespace platform {

long urlErrorCodeForCurlCode(int curlCode)
{
    constexpr std::pair<int, long> urlCodes[] = {
        { CURLE_PARTIAL_FILE, URLErrorCode::NetworkConnectionLost },
        { CURLE_RECV_ERROR, URLErrorCode::NetworkConnectionLost },
        { CURLE_SEND_ERROR, URLErrorCode::NetworkConnectionLost },
        { CURLE_GOT_NOTHING, URLErrorCode::NetworkConnectionLost },
        { CURLE_HTTP2, URLErrorCode::NetworkConnectionLost },
        { CURLE_HTTP2_STREAM, URLErrorCode::NetworkConnectionLost },
        { CURLE_OPERATION_TIMEDOUT, URLErrorCode::TimedOut },
        { CURLE_COULDNT_RESOLVE_HOST, URLErrorCode::CannotFindHost },
        { CURLE_COULDNT_RESOLVE_PROXY, URLErrorCode::CannotFindHost },
        { CURLE_COULDNT_CONNECT, URLErrorCode::CannotConnectToHost },
        { CURLE_UNSUPPORTED_PROTOCOL, URLErrorCode::UnsupportedURL },
        { CURLE_URL_MALFORMAT, URLErrorCode::UnsupportedURL },
        { CURLE_TOO_MANY_REDIRECTS, URLErrorCode::HTTPTooManyRedirects },
        { CURLE_PEER_FAILED_VERIFICATION, URLErrorCode::ServerCertificateUntrusted },
        { CURLE_SSL_ISSUER_ERROR, URLErrorCode::ServerCertificateUntrusted },
        { CURLE_SSL_PINNEDPUBKEYNOTMATCH, URLErrorCode::ServerCertificateUntrusted },
        { CURLE_SSL_INVALIDCERTSTATUS, URLErrorCode::ServerCertificateUntrusted },
        { CURLE_SSL_CONNECT_ERROR, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_ENGINE_NOTFOUND, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_ENGINE_SETFAILED, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_CERTPROBLEM, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_CIPHER, URLErrorCode::SecureConnectionFailed },
        { CURLE_USE_SSL_FAILED, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_ENGINE_INITFAILED, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_CACERT_BADFILE, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_SHUTDOWN_FAILED, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_CRL_BADFILE, URLErrorCode::SecureConnectionFailed },
        { CURLE_SSL_CLIENTCERT, URLErrorCode::SecureConnectionFailed },
        { CURLE_WRITE_ERROR, URLErrorCode::CannotWriteToFile },
        { CURLE_ABORTED_BY_CALLBACK, URLErrorCode::Cancelled },
    };
    for (auto [code, urlCode] : urlCodes) {
        if (code == curlCode)
            return urlCode;
    }
    return URLErrorCode::Unknown;
}

std::string curlCodeText(int curlCode)
{
    return "CURLcode " + std::to_string(curlCode) + ": " + curl_easy_strerror(static_cast<CURLcode>(curlCode));
}

}
