// What a machine without a readable CA bundle reports: a certificate failure
// that says the bundle is missing, not a generic transport error.
#include "platform/url_loader.h"
#include "test_http_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using platform::loadUrlBlocking;
using platform::UrlError;
using platform::UrlFailure;
using platform::UrlRequest;
using testsupport::Reply;
using testsupport::TestCertificates;
using testsupport::TestHttpServer;

TEST(CaBundle, MissingOrUnreadableBundleIsACertificateFailureThatNamesIt)
{
    auto certs = TestCertificates::create();
    ASSERT_TRUE(certs->ok()) << certs->error();
    TestHttpServer server(certs->serverTls());
    server.reply("/secure", Reply{200, {}, "secret"});
    ASSERT_TRUE(server.start());

    const std::string missing = certs->directory() + "/missing.pem";
    const std::string notAFile = certs->directory(); // a folder is no bundle either
    for (const std::string &bundle : {missing, notAFile}) {
        SCOPED_TRACE(bundle);
        UrlRequest request;
        request.url = server.url("/secure");
        request.timeoutSeconds = 10;
        request.caFile = bundle;
        const auto r = loadUrlBlocking(request);
        EXPECT_EQ(r.failure, UrlFailure::Certificate);
        EXPECT_EQ(r.error, UrlError::Certificate);
        EXPECT_NE(r.errorText.find("CA bundle " + bundle + " is missing or unreadable"), std::string::npos)
            << r.errorText;
        EXPECT_EQ(r.body, "");
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

} // namespace
