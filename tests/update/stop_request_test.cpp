// What a stop at once says it leaves: the master alone, or the slaves the
// stages sent to their booter together.
#include <gtest/gtest.h>

#include "update/stop_request.h"

namespace {

TEST(StopRequest, AUnitWrittenThatIsNotTheMasterIsASlave) {
    struct Case {
        const char* name;
        uint32_t master;
        uint32_t written;
        bool slave;
    } cases[] = {
        {"the master", 10, 10, false},
        {"a slave", 10, 72, true},
        {"a slave of serial 0", 10, 0, true},
        {"a master of serial 0", 0, 0, false},
        {"a slave beside a master of serial 0", 0, 0x01020304, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vesk::update::NoteMaster(c.master);
        vesk::update::NoteUnitWritten(c.written);
        EXPECT_TRUE(vesk::update::UnitMayBeInBooter());
        EXPECT_EQ(vesk::update::WritingASlave(), c.slave);
        vesk::update::NoteSafePoint();
        EXPECT_FALSE(vesk::update::UnitMayBeInBooter());
    }
}

}  // namespace
