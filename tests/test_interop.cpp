// SCP against servers that are not OpenSSH.
#include "transfer_support.h"

namespace {

using namespace xfer;

// Where a server serves one channel per connection (tinysshd), SCP's channel
// beside the SFTP one is refused, and the message says so.
TEST(InteropOneChannel, ScpSaysTheChannelWasRefused) {
  connect_fake("onechannel");
  Place at = fake_place();
  const std::string f = at.remote + "/f", lf = at.local + "/f",
                    g = at.local + "/g",
                    why = "' (the server allows no second channel)";
  write_file(lf, "abc");
  EXPECT_EQ(scp_down(f.c_str(), g.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(), "SCP download refused for '" + f + why);
  EXPECT_EQ(scp_up(lf.c_str(), f.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(), "SCP upload refused for '" + f + why);
  EXPECT_EQ(sftp_down(f.c_str(), g.c_str()), 0);
}

}  // namespace
