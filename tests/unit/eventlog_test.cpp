// Failure reports: the code they carry, read before the report's own calls can change it.
#include "platform/kernel.h"
#include "tests/unit/support.h"

namespace {

using EventLogTest = FakeTest;

TEST_F(EventLogTest, FailureEventCarriesTheFailedCallsCodeAsSignedDecimalWrittenOrNot) {
    for (const bool sourceOpens : {true, false}) {
        ResetProcess();
        FakeScript(FakeCall::RegisterEventSource, 1, sourceOpens ? 0 : 1717);
        OsSetLastError(0xC0000005);
        LogFailure("SetServiceStatus");
        const Strings written{"error 00000000 Corvane error: -1073741819|SetServiceStatus"};
        EXPECT_EQ(Fake.events, sourceOpens ? written : Strings{});
        EXPECT_EQ(LastFailureCode.load(), 0xC0000005);
    }
}

}  // namespace
