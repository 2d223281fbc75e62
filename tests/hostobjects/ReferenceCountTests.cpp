// What every host object shares: the count its creator starts with, addRef and
// release, queryInterface answering its own interface and FUnknown only, and
// counts changed from many threads at once.
#include "HostObjectCatalogue.h"

#include <pluginterfaces/base/ipluginbase.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

using namespace Steinberg;

namespace {

struct NamedIid {
    const char* name;
    TUID id;
};

NamedIid named(const char* name, const int8* id) {
    NamedIid n{name, {}};
    std::memcpy(n.id, id, sizeof(TUID));
    return n;
}

// The ids a plug-in might ask any host object for: those of the host objects
// themselves, others it commonly asks its host for, and near misses of the
// FUnknown id that only a whole 16-byte comparison tells apart.
std::vector<NamedIid> askedIids() {
    std::vector<NamedIid> ids = {
        named("FUnknown", FUnknown_iid),
        named("IHostApplication", Vst::IHostApplication_iid),
        named("IMessage", Vst::IMessage_iid),
        named("IAttributeList", Vst::IAttributeList_iid),
        named("IPlugFrame", IPlugFrame_iid),
        named("IComponentHandler", Vst::IComponentHandler_iid),
        named("IComponentHandler2", Vst::IComponentHandler2_iid),
        named("IParameterChanges", Vst::IParameterChanges_iid),
        named("IParamValueQueue", Vst::IParamValueQueue_iid),
        named("IEventList", Vst::IEventList_iid),
        named("IBStream", IBStream_iid),
        named("IPluginBase", IPluginBase_iid),
        named("IComponent", Vst::IComponent_iid),
        named("IAudioProcessor", Vst::IAudioProcessor_iid),
        named("IEditController", Vst::IEditController_iid),
        named("IConnectionPoint", Vst::IConnectionPoint_iid),
        named("IPlugView", IPlugView_iid),
    };
    NamedIid lastByte = named("FUnknown with its last byte changed", FUnknown_iid);
    lastByte.id[15] ^= 0x01;
    NamedIid firstByte = named("FUnknown with its first byte changed", FUnknown_iid);
    firstByte.id[0] ^= 0x80;
    NamedIid zero{"all zero", {}};
    ids.push_back(lastByte);
    ids.push_back(firstByte);
    ids.push_back(zero);
    return ids;
}

class HostObjectTest : public ::testing::TestWithParam<tv3test::HostObjectKind> {};

TEST_P(HostObjectTest, ReleaseOfAFreshObjectAnswersZero) {
    FUnknown* object = GetParam().make();
    EXPECT_EQ(object->release(), 0u);
}

TEST_P(HostObjectTest, AddRefAndReleaseAnswerTheNewCount) {
    FUnknown* object = GetParam().make();
    EXPECT_EQ(object->addRef(), 2u);
    EXPECT_EQ(object->addRef(), 3u);
    EXPECT_EQ(object->release(), 2u);
    EXPECT_EQ(object->release(), 1u);
    EXPECT_EQ(object->release(), 0u);
}

TEST_P(HostObjectTest, QueryInterfaceAnswersItsOwnInterfaceAndFUnknownOnly) {
    const tv3test::HostObjectKind& kind = GetParam();
    FUnknown* object = kind.make();
    for (const NamedIid& asked : askedIids()) {
        SCOPED_TRACE(asked.name);
        const bool answered = std::memcmp(asked.id, kind.ownIid, sizeof(TUID)) == 0 ||
                              std::memcmp(asked.id, FUnknown_iid, sizeof(TUID)) == 0;
        int sentinel = 0;
        void* obj = &sentinel;
        const tresult result = object->queryInterface(asked.id, &obj);
        if (answered) {
            EXPECT_EQ(result, kResultOk);
            // One interface, single inheritance: the interface pointer is the
            // object's own address.
            EXPECT_EQ(obj, static_cast<void*>(object));
            EXPECT_EQ(object->addRef(), 3u) << "queryInterface must add one reference";
            EXPECT_EQ(object->release(), 2u);
            EXPECT_EQ(static_cast<FUnknown*>(obj)->release(), 1u);
        } else {
            EXPECT_EQ(result, kNoInterface);
            EXPECT_EQ(obj, nullptr);
            EXPECT_EQ(object->addRef(), 2u) << "a refused query must not add a reference";
            EXPECT_EQ(object->release(), 1u);
        }
    }
    EXPECT_EQ(object->release(), 0u);
}

TEST_P(HostObjectTest, QueryInterfaceWithNullPointersIsRefusedWithoutAReference) {
    FUnknown* object = GetParam().make();
    EXPECT_EQ(object->queryInterface(FUnknown_iid, nullptr), kInvalidArgument);
    int sentinel = 0;
    void* obj = &sentinel;
    EXPECT_EQ(object->queryInterface(nullptr, &obj), kInvalidArgument);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(object->release(), 0u);
}

// Plug-ins add and release references from their own threads. Every returned
// count comes from one atomic step, so with many threads at once each value
// between the lowest and highest is returned exactly once by the releases.
TEST_P(HostObjectTest, ConcurrentAddRefAndReleaseEndAtTheCreatorsCount) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    FUnknown* object = GetParam().make();
    std::barrier start(kThreads);
    std::array<bool, kThreads> countsPlausible{};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            bool plausible = true;
            for (int i = 0; i < kRounds; ++i) {
                // The creator's reference and this thread's own keep the count
                // above these bounds whatever the other threads do.
                const uint32 added = object->addRef();
                const uint32 left = object->release();
                plausible = plausible && added >= 2 && added <= kThreads + 1 && left >= 1 && left <= kThreads;
            }
            countsPlausible[t] = plausible;
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(countsPlausible[t]) << "thread " << t;
    EXPECT_EQ(object->addRef(), 2u);
    EXPECT_EQ(object->release(), 1u);
    EXPECT_EQ(object->release(), 0u);
}

// The last reference may be released on any thread; exactly one release sees
// 0 and destroys the object, and the returned counts are all different.
TEST_P(HostObjectTest, ReferencesReleasedOnManyThreadsDestroyTheObjectOnce) {
    constexpr int kThreads = 8;
    FUnknown* object = GetParam().make();
    for (int t = 0; t < kThreads; ++t) object->addRef();
    std::barrier start(kThreads + 1);
    std::array<uint32, kThreads + 1> returned{};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            returned[t] = object->release();
        });
    }
    start.arrive_and_wait();
    returned[kThreads] = object->release(); // the creator's own
    for (auto& thread : threads) thread.join();
    std::sort(returned.begin(), returned.end());
    for (int i = 0; i <= kThreads; ++i) EXPECT_EQ(returned[i], static_cast<uint32>(i));
}

INSTANTIATE_TEST_SUITE_P(EveryHostObject, HostObjectTest, ::testing::ValuesIn(tv3test::allHostObjectKinds()),
                         [](const auto& info) { return info.param.name; });

// A plug-in writes into a stream on one thread and drops its reference; the
// last reference goes on another. The destruction must see the writes: a
// count changed without acquire-release ordering shows up here as a race
// under ThreadSanitizer.
TEST(HostObjectLastRelease, DestructionOnAnotherThreadSeesTheWritesMadeBeforeRelease) {
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        auto* stream = new tv3::MemoryStream();
        stream->addRef();
        std::barrier start(2);
        uint32 writerLeft = 99;
        uint32 otherLeft = 99;
        // Both start together, so that nothing but the count orders the
        // writes before the destruction.
        std::thread writer([&] {
            std::array<char, 64> bytes{};
            bytes.fill(static_cast<char>(round));
            start.arrive_and_wait();
            int32 written = 0;
            stream->write(bytes.data(), static_cast<int32>(bytes.size()), &written);
            writerLeft = stream->release();
        });
        std::thread other([&] {
            start.arrive_and_wait();
            otherLeft = stream->release();
        });
        writer.join();
        other.join();
        EXPECT_EQ(std::min(writerLeft, otherLeft), 0u);
        EXPECT_EQ(std::max(writerLeft, otherLeft), 1u);
    }
}

} // namespace
