// SPDX-License-Identifier: Apache-2.0
#include "platform/CurlErrors.h"

#include "platform/Error.h"

#include <curl/curl.h>

namespace platform {

long urlErrorCodeForCurlCode(int curlCode)
{
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return URLErrorCode::NetworkConnectionLost;
    case CURLE_OPERATION_TIMEDOUT:
        return URLErrorCode::TimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return URLErrorCode::CannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return URLErrorCode::CannotConnectToHost;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return URLErrorCode::UnsupportedURL;
    case CURLE_TOO_MANY_REDIRECTS:
        return URLErrorCode::HTTPTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return URLErrorCode::ServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_CLIENTCERT:
        return URLErrorCode::SecureConnectionFailed;
    case CURLE_WRITE_ERROR:
        return URLErrorCode::CannotWriteToFile;
    case CURLE_ABORTED_BY_CALLBACK:
        return URLErrorCode::Cancelled;
    default:
        return URLErrorCode::Unknown;
    }
}

std::string curlCodeText(int curlCode)
{
    return "CURLcode " + std::to_string(curlCode) + ": " + curl_easy_strerror(static_cast<CURLcode>(curlCode));
}

}
