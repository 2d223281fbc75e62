// Creation that runs out of memory: whichever allocation fails, the create
// functions answer null with a message that names what could not be had,
// leave nothing allocated and no probe object alive, and never let an
// exception out.
#include "hostobjects/CountingAllocator.h"
#include "instance/ProbeAccess.h"

#include <cstring>
#include <string>

namespace probetest {
namespace {

namespace allocations = tv3test::allocations;

class CreationOutOfMemory : public ProbeTest {
protected:
    void TearDown() override { allocations::failNone(); }

    // A shape with every kind of host allocation: extra buses on both sides.
    void shape() {
        probe_->reset();
        r->sw.sidechainChannels = 2; // an instrument's only audio input
        r->sw.auxOutputChannels = 2;
    }
};

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST_F(CreationOutOfMemory, EveryAllocationOfACreationMayFail) {
    for (const bool instrument : {false, true}) {
        SCOPED_TRACE(instrument ? "instrument" : "effect");
        const CreateArgs args{instrument, 2, 512, 48000, {}};
        // Once, so that the module is loaded and its cache entry made.
        shape();
        {
            std::string error;
            PluginPtr warm = create(args, &error);
            ASSERT_TRUE(warm) << error;
        }
        shape();
        const std::uint64_t before = allocations::made();
        {
            std::string error;
            PluginPtr counted = create(args, &error);
            ASSERT_TRUE(counted) << error;
        }
        const std::uint64_t total = allocations::made() - before;
        ASSERT_GT(total, 10u) << "the counting allocator does not see creation";

        const std::string path = bundlePath();
        int failures = 0;
        for (std::uint64_t n = 0; n <= total; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n));
            shape();
            const std::int64_t live = allocations::live();
            char error[256];
            std::memset(error, 'Z', sizeof error);
            error[sizeof error - 1] = '\0';
            allocations::failNth(n);
            tv3m_plugin* p = instrument ? tv3m_plugin_create_instrument(path.c_str(), TV3PROBE_INSTRUMENT_CID, 48000,
                                                                        512, 2, error, sizeof error)
                                        : tv3m_plugin_create(path.c_str(), TV3PROBE_EFFECT_CID, 48000, 512, 2, error,
                                                             sizeof error);
            allocations::failNone();
            if (p) {
                // Only allocations whose failure is no failure (the state
                // hand-over) may let creation succeed.
                tv3m_plugin_destroy(p);
            } else {
                ++failures;
                EXPECT_TRUE(startsWith(error, "not enough memory ")) << error;
            }
            EXPECT_EQ(allocations::live(), live) << "blocks left allocated";
            EXPECT_EQ(r->liveObjects, 0) << "probe objects left alive";
            EXPECT_EQ(r->componentTerminate, r->componentInitialize == 1 && !r->sw.failInitialize ? 1 : 0);
        }
        EXPECT_GT(failures, static_cast<int>(total / 2));
    }
}

struct BufferCase {
    const char* name;
    bool instrument;
    std::int32_t sidechainChannels;
    std::int32_t auxOutputChannels;
    std::int32_t maxBlock;
    std::size_t failFrom;
    const char* message;
};

// Each host buffer that cannot be had is named with its bus, width and block
// size; the same instance is created once memory is back.
const BufferCase kBuffers[] = {
    {"WideSidechain", false, 64, 0, 4096, std::size_t{512} << 10,
     "not enough memory for 4096-sample blocks on input bus 1 (64 channels)"},
    {"LongBlocksOnAnAuxOutput", false, 0, 8, 65536, std::size_t{1} << 20,
     "not enough memory for 65536-sample blocks on output bus 1 (8 channels)"},
    {"InstrumentInput", true, 16, 0, 8192, std::size_t{256} << 10,
     "not enough memory for 8192-sample blocks on input bus 0 (16 channels)"},
};

class CreationBuffers : public CreationOutOfMemory, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(CreationBuffers, NameWhatCouldNotBeHad) {
    const BufferCase& c = GetParam();
    for (const bool failing : {true, false}) {
        probe_->reset();
        r->sw.sidechainChannels = c.sidechainChannels;
        r->sw.auxOutputChannels = c.auxOutputChannels;
        std::string error;
        error.reserve(512); // before the count: the message is copied into it
        const std::int64_t live = allocations::live();
        if (failing) allocations::failFrom(c.failFrom);
        PluginPtr p = create({c.instrument, 2, c.maxBlock, 48000, {}}, &error);
        allocations::failNone();
        if (failing) {
            EXPECT_FALSE(p);
            EXPECT_EQ(error, c.message);
            EXPECT_EQ(allocations::live(), live);
            EXPECT_EQ(r->liveObjects, 0);
        } else {
            EXPECT_TRUE(p) << error;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Buses, CreationBuffers, ::testing::ValuesIn(kBuffers),
                         [](const ::testing::TestParamInfo<BufferCase>& info) { return info.param.name; });

} // namespace
} // namespace probetest
