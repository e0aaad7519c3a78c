#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/Progress.h"

TEST(Log, RecordFormat)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-06 19:29:07.045 UTC
    EXPECT_EQ(platform::formatLogRecord("100%s done\nsecond line", 1796585347045LL, 42, 43),
        "2026-12-06 19:29:07.045 quenbury[42:43] 100%s done\nsecond line\n");
}

TEST(Log, RecordsAreVerbatimAndWhole)
{
    auto lines = test::loggedBy([] {
        platform::NSLog("%s%n%d");
        platform::NSLog("a\nb");
    });
    EXPECT_EQ(lines, (std::vector<std::string> { "%s%n%d", "a\nb" }));
}

TEST(Error, DescriptionInThePlatformStyle)
{
    auto error = platform::Error::url(-1005, "http://h/a%20b", "CURLcode 18: Transferred a partial file");
    error.userInfo.emplace(platform::UserInfoKey::DownloadTaskResumeData, platform::Bytes(12));
    EXPECT_EQ(error.description(),
        "Error Domain=NSURLErrorDomain Code=-1005 \"The network connection was lost.\" UserInfo={"
        "NSErrorFailingURLStringKey=http://h/a%20b, NSLocalizedDescription=The network connection was lost., "
        "NSURLSessionDownloadTaskResumeData=<12 bytes>, NSUnderlyingError=CURLcode 18: Transferred a partial file}");
    EXPECT_EQ(platform::Error::fromErrno("unlink", "/x", ENOENT).description(),
        "Error Domain=NSPOSIXErrorDomain Code=2 \"No such file or directory\" UserInfo={NSFilePath=/x, "
        "NSLocalizedDescription=No such file or directory, NSLocalizedFailureReason=unlink}");
}

TEST(Progress, LineText)
{
    EXPECT_EQ(platform::formatProgress(512 * 1024, 0, 0), "512.0 KiB, 0.0 KiB/s");
    EXPECT_EQ(platform::formatProgress(256ull << 20, 1024ull << 20, 64 << 20), "256.0 MiB of 1.00 GiB (25%), 64.0 MiB/s, 0:00:12 left");
}
