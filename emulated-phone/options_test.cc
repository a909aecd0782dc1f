#include "options.h"

#include <gtest/gtest.h>

namespace emulated_phone {
namespace {

bool parse(std::vector<std::string> args, Options* o, std::string* error) {
  args.insert(args.begin(), {"--root", "/r", "--socket", "/s"});
  return parseOptions(args, o, error);
}

TEST(Options, DefaultsOfTheContract) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse({}, &o, &error)) << error;
  EXPECT_EQ(o.root, "/r");
  EXPECT_EQ(o.socket_path, "/s");
  EXPECT_EQ(o.name, "Emulated iPhone");
  EXPECT_EQ(o.udid, "00008110-000A1B2C3D4E5F60");
  EXPECT_EQ(o.product_version, "17.5");
  EXPECT_FALSE(o.faults.not_paired);
  EXPECT_EQ(o.faults.pair, PairAnswer::kAccept);
  EXPECT_FALSE(o.faults.detach_after_seconds);
  EXPECT_EQ(o.faults.latency_ms, 0u);
}

TEST(Options, EveryFaultParsedAndRepeatablesCollected) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse({"--not-paired", "--pair=pending", "--validate-error=PasswordProtected",
                     "--session-error", "--refuse-service", "a", "--refuse-service", "b",
                     "--afc-no-connection=close", "--readdir-status", "/DCIM=10",
                     "--readdir-status", "/x=y=4", "--hostile-names", "/DCIM",
                     "--read-error", "/a@b.JPG@100", "--drop-at", "/d@0", "--stall", "/s@7",
                     "--cut-packet", "/c@9", "--cut-listing", "/l@5", "--stall-listing", "/m@45",
                     "--out-of-step", "/o", "--stall-then-close", "500", "--service-tls",
                     "--detach-after", "0.25", "--latency-ms", "30", "--name", "\xff\x01"},
                    &o, &error))
      << error;
  const Faults& f = o.faults;
  EXPECT_TRUE(f.not_paired);
  EXPECT_EQ(f.pair, PairAnswer::kPending);
  EXPECT_EQ(f.validate_error, "PasswordProtected");
  EXPECT_EQ(f.session_error, "InvalidHostID");
  EXPECT_EQ(f.refused_services, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(f.afc_connect, AfcConnectFault::kClose);
  EXPECT_EQ(f.readdir_status.at("/DCIM"), 10u);
  // Split at the last separator: the path may contain it.
  EXPECT_EQ(f.readdir_status.at("/x=y"), 4u);
  EXPECT_EQ(f.read_error_at.at("/a@b.JPG"), 100u);
  EXPECT_EQ(f.drop_at.at("/d"), 0u);
  EXPECT_EQ(f.stall_at.at("/s"), 7u);
  EXPECT_EQ(f.cut_packet_at.at("/c"), 9u);
  EXPECT_EQ(f.cut_listing_at.at("/l"), 5u);
  EXPECT_EQ(f.stall_listing_at.at("/m"), 45u);
  EXPECT_EQ(f.out_of_step, std::set<std::string>{"/o"});
  EXPECT_EQ(f.stall_close_ms, 500u);
  EXPECT_TRUE(f.service_tls);
  EXPECT_EQ(f.hostile_names.count("/DCIM"), 1u);
  EXPECT_DOUBLE_EQ(*f.detach_after_seconds, 0.25);
  EXPECT_EQ(f.latency_ms, 30u);
  EXPECT_EQ(o.name, "\xff\x01");
}

TEST(Options, UnusableCommandLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"--name"},                          // value missing
      {"--frobnicate"},                    // unknown
      {"--pair=maybe"},                    // unknown answer
      {"--readdir-status", "/DCIM"},       // no code
      {"--readdir-status", "=4"},          // no path
      {"--readdir-status", "/DCIM=-1"},    // not a number
      {"--read-error", "/a"},              // no offset
      {"--drop-at", "/a@1x"},              // trailing junk
      {"--stall", "/a@99999999999999999999"},  // above 64 bits
      {"--detach-after", "soon"},
      {"--detach-after", "-1"},
      {"--detach-after", "nan"},
      {"--detach-after", ""},
      {"--latency-ms", "600001"},
      {"--latency-ms", "-5"},
      {"--cut-listing", "/a"},
      {"--stall-then-close", "600001"},
      {"--validate-error="},
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(Options, RootAndSocketAreRequired) {
  Options o;
  std::string error;
  EXPECT_FALSE(parseOptions({"--root", "/r"}, &o, &error));
  EXPECT_FALSE(parseOptions({"--socket", "/s"}, &o, &error));
  EXPECT_FALSE(parseOptions({"--root", "", "--socket", "/s"}, &o, &error));
  EXPECT_TRUE(parseOptions({"--socket", "/s", "--root", "/r"}, &o, &error));
}

}  // namespace
}  // namespace emulated_phone
