// The live view without a browser: options, message bytes, a run serving nobody.

#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuse/ByteOrder.h"
#include "fuse/FuseRun.h"
#include "fuse/LiveProtocol.h"
#include "fuse/Options.h"
#include "support/FuseHelpers.h"

namespace {

struct Parsed {
    bool run;
    int port;
    std::string err;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "kelvane-fuse");
    kelvane_fuse::FuseOptions options;
    std::ostringstream out, err;
    const auto result =
        kelvane_fuse::parseOptions(int(args.size()), args.data(), options, out, err);
    return {result.run, options.serve_port, err.str()};
}

TEST(LiveView, ServeTakesAnOptionalPortAndItsOptionsNeedIt) {
    EXPECT_EQ(parse({}).port, -1);
    EXPECT_EQ(parse({"--serve"}).port, 0);
    EXPECT_EQ(parse({"--serve", "8123"}).port, 8123);
    EXPECT_EQ(parse({"--serve=65535", "--serve-exit", "--serve-queue", "2"}).port, 65535);
    for (const auto& [args, message] :
         std::vector<std::pair<std::vector<const char*>, const char*>>{
             {{"--serve", "scan.kfr"}, "put INPUT before --serve"},
             {{"--serve", "65536"}, "expected 0 to 65535"},
             {{"--serve-exit"}, "--serve-exit applies to --serve"},
             {{"--serve-address", "0.0.0.0"}, "--serve-address applies to --serve"},
             {{"--serve", "--serve-queue", "0"}, "expected 1 to 4096"}}) {
        const Parsed p = parse(args);
        EXPECT_FALSE(p.run) << message;
        EXPECT_NE(p.err.find(message), std::string::npos) << p.err;
    }
}

fusion::Vertices vertex(int32_t id, uint8_t state, float x) {
    fusion::Vertices v = fuse_test::vertex(id, x, 0, 0, state, 0x1234, 16);
    v.reserved[0] = 0xAB;  // never on the wire
    v.protected_flag = 1;
    return v;
}

TEST(LiveView, MessagesCarryTheHeaderAndTheRecordsAsThePageReadsThem) {
    const std::vector<fusion::Vertices> records = {vertex(7, 1, 2.5f), vertex(300000, 255, -1)};
    kelvane_fuse::LiveStats stats;
    stats.frame = 12, stats.frames = 60, stats.fps = 29.5f, stats.dropped = 3;
    stats.resolution = 0.25f;
    const auto bytes = kelvane_fuse::encodeLiveMessage(kelvane_fuse::LiveMessageKind::Updates,
                                                       records.data(), 2, stats);
    ASSERT_EQ(bytes.size(), 36u + 2 * 36u);
    const uint8_t* h = bytes.data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 4), "KLV1");
    using kelvane_fuse::loadLE32, kelvane_fuse::loadLEFloat;
    EXPECT_EQ(std::vector<uint32_t>({loadLE32(h + 4), loadLE32(h + 8), loadLE32(h + 12),
                                     loadLE32(h + 20), loadLE32(h + 24), loadLE32(h + 28)}),
              std::vector<uint32_t>({2, 12, 60, 3, 2, 0}));
    EXPECT_EQ(loadLEFloat(h + 16), 29.5f);
    EXPECT_EQ(loadLEFloat(h + 32), 0.25f);
    const uint8_t* second = h + 36 + 36;
    EXPECT_EQ(loadLEFloat(second), -1.0f);
    EXPECT_EQ(loadLEFloat(second + 20), 1.0f);  // normal z
    EXPECT_EQ(loadLE32(second + 24), 300000u);
    EXPECT_EQ(std::vector<uint8_t>(second + 28, second + 36),
              std::vector<uint8_t>({255, 0, 0, 0, 16, 1, 0x34, 0x12}));

    // The final message: no records, their count and the order-free digest of their ids.
    const auto final_message = kelvane_fuse::encodeLiveMessage(kelvane_fuse::LiveMessageKind::Final,
                                                               records.data(), 2, stats);
    ASSERT_EQ(final_message.size(), 36u);
    EXPECT_EQ(loadLE32(final_message.data() + 24), 2u);
    EXPECT_EQ(loadLE32(final_message.data() + 28),
              kelvane_fuse::mixViewId(7) + kelvane_fuse::mixViewId(300000));
}

// With no page the run is the usual one; a bad address fails before anything is fused.
TEST(LiveView, AServedRunWithoutPagesAndAnAddressThatIsNone) {
    fuse_test::TempDir dir;
    // A path's own characters are wide on Windows.
    const std::string out_dir = dir.path.string();
    auto run = [&](std::vector<const char*> extra) {
        std::vector<const char*> args = {"kelvane-fuse", "-q",    "--frames",      "3",
                                         "--rows",       "40",    "--columns",     "50",
                                         "--no-preview", "--out", out_dir.c_str(), "--serve",
                                         "--serve-exit"};
        args.insert(args.end(), extra.begin(), extra.end());
        kelvane_fuse::FuseOptions options;
        std::ostringstream ignored;
        EXPECT_TRUE(
            kelvane_fuse::parseOptions(int(args.size()), args.data(), options, ignored, ignored)
                .run);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = kelvane_fuse::runFuse(options, out, err);
        return std::make_tuple(status, fuse_test::readAll(out), fuse_test::readAll(err));
    };
    const auto [status, out, err] = run({});
#ifdef KELVANE_HAVE_SERVE
    EXPECT_EQ(status, kelvane_fuse::kExitDone) << err;
    EXPECT_NE(out.find("fused live points"), std::string::npos) << out;
    EXPECT_EQ(err.rfind("kelvane-fuse: live view at http://127.0.0.1:", 0), 0u) << err;
    EXPECT_NE(err.find("live view: 0 page connections"), std::string::npos) << err;
    const auto [bad, bad_out, bad_err] = run({"--serve-address", "localhost-ish"});
    EXPECT_EQ(bad, kelvane_fuse::kExitBadInput);
    EXPECT_EQ(bad_out, "");
    EXPECT_EQ(bad_err, "kelvane-fuse: --serve-address: 'localhost-ish' is not an IP address\n");
#else
    EXPECT_EQ(status, kelvane_fuse::kExitBadInput);
    EXPECT_NE(err.find("built without the live view"), std::string::npos) << err;
#endif
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
