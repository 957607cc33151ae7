// The cap on open connections: who is dropped to make room, and who never is.
#include "relay_server/session_registry.h"

#include <gtest/gtest.h>

#include <vector>

#include "foundation/errors.h"
#include "relay_server/connection_limit.h"

namespace vek::relay_server {
namespace {

using Admission = SessionRegistry::Admission;

// Sessions whose drop is recorded instead of closing anything.
struct Sessions {
  explicit Sessions(std::size_t limit) : registry(limit) {}

  std::uint64_t open() {
    std::size_t index = keys.size();
    keys.push_back(registry.add([] {}, [this, index] { dropped.push_back(index); }));
    return keys.back();
  }

  SessionRegistry registry;
  std::vector<std::uint64_t> keys;
  std::vector<std::size_t> dropped;  // indexes into keys, in the order dropped
};

TEST(SessionRegistry, AtTheCapTheLongestWaitingConnectionMakesRoom) {
  Sessions sessions(3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sessions.registry.admit(), Admission::admitted);
    sessions.open();
  }
  // The first connection has been served and waits again: it now waits the shortest time.
  sessions.registry.busy(sessions.keys[0]);
  sessions.registry.waiting(sessions.keys[0]);
  // A busy connection is never dropped, however old.
  sessions.registry.busy(sessions.keys[1]);

  EXPECT_EQ(sessions.registry.admit(), Admission::dropped);
  sessions.open();
  // The one being dropped no longer counts, so the next admission drops another one.
  EXPECT_EQ(sessions.registry.admit(), Admission::dropped);
  sessions.open();
  EXPECT_EQ(sessions.dropped, (std::vector<std::size_t>{2, 0}));

  // Their sessions close; the newcomers have sent their headers: everyone left is busy.
  sessions.registry.remove(sessions.keys[2]);
  sessions.registry.remove(sessions.keys[0]);
  sessions.registry.busy(sessions.keys[3]);
  sessions.registry.busy(sessions.keys[4]);
  EXPECT_EQ(sessions.registry.admit(), Admission::refused);
  EXPECT_EQ(sessions.registry.size(), 3u);

  sessions.registry.remove(sessions.keys[1]);
  EXPECT_EQ(sessions.registry.admit(), Admission::admitted);
}

TEST(SessionRegistry, ADropUnderWayIsNotRepeatedAndOneThatCrossedAHeaderCountsAgain) {
  Sessions sessions(1);
  sessions.open();
  EXPECT_EQ(sessions.registry.admit(), Admission::dropped);
  sessions.open();
  sessions.registry.busy(sessions.keys[1]);
  // Still waiting while its drop is on the way: it is not dropped, nor uncounted, a second time.
  sessions.registry.waiting(sessions.keys[0]);
  EXPECT_EQ(sessions.registry.admit(), Admission::refused);
  // Its header arrived before the drop reached it: it stays open and counts again.
  sessions.registry.busy(sessions.keys[0]);
  sessions.registry.spare(sessions.keys[0]);
  sessions.registry.waiting(sessions.keys[0]);
  EXPECT_EQ(sessions.registry.admit(), Admission::dropped);
  EXPECT_EQ(sessions.dropped, (std::vector<std::size_t>{0, 0}));
}

TEST(ConnectionLimit, LeavesDescriptorsForTheRelaysOwnFiles) {
  struct Case {
    std::optional<std::size_t> requested;
    std::uint64_t descriptors;
    std::size_t limit;  // 0: refused
  };
  for (const Case& c : std::vector<Case>{
           {std::nullopt, 1024, 832},
           {std::nullopt, 65536, 57280},
           {std::nullopt, 1u << 20, kDefaultConnectionCeiling},
           {std::nullopt, 40, 20},
           {5000, 1u << 20, 5000},
           {960, 1024, 960},
           {961, 1024, 0},
       }) {
    if (c.limit == 0) {
      EXPECT_THROW(connectionLimit(c.requested, c.descriptors), VEKError) << c.descriptors;
    } else {
      EXPECT_EQ(connectionLimit(c.requested, c.descriptors), c.limit) << c.descriptors;
    }
  }
}

}  // namespace
}  // namespace vek::relay_server
