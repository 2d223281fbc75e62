// What the host objects allocate and free: everything back on the last
// release, nothing at all on the paths a processing block takes once the
// objects have carried their largest block, and a clean refusal when memory
// runs out.
#include "CountingAllocator.h"
#include "HostObjectCatalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

using namespace Steinberg;
namespace allocations = tv3test::allocations;

namespace {

// Guards every "allocates nothing" check: the counting operator new must be
// the one in use, or such a check could never fail.
bool countingWorks() {
    const std::uint64_t before = allocations::made();
    auto probe = std::make_unique<volatile int>(1);
    return allocations::made() == before + 1 && *probe == 1;
}

// Puts data into an object through its interface, the way a plug-in would.
void fill(FUnknown* object) {
    void* obj = nullptr;
    if (object->queryInterface(Vst::IMessage_iid, &obj) == kResultOk) {
        auto* message = static_cast<Vst::IMessage*>(obj);
        message->setMessageID("a message id long enough to live on the heap");
        message->getAttributes()->setString("text", u"a text long enough to live on the heap");
        message->getAttributes()->setInt("n", 3);
    } else if (object->queryInterface(Vst::IAttributeList_iid, &obj) == kResultOk) {
        auto* list = static_cast<Vst::IAttributeList*>(obj);
        const char bytes[100] = {};
        list->setInt("i", 1);
        list->setFloat("f", 0.5);
        list->setString("s", u"a text long enough to live on the heap");
        list->setBinary("b", bytes, sizeof(bytes));
    } else if (object->queryInterface(Vst::IParameterChanges_iid, &obj) == kResultOk) {
        auto* changes = static_cast<Vst::IParameterChanges*>(obj);
        for (Vst::ParamID id = 0; id < 40; ++id) {
            int32 index = 0;
            Vst::IParamValueQueue* queue = changes->addParameterData(id, index);
            for (int32 p = 0; p < 20; ++p) queue->addPoint(p, 0.5, index);
        }
    } else if (object->queryInterface(Vst::IParamValueQueue_iid, &obj) == kResultOk) {
        int32 index = 0;
        for (int32 p = 0; p < 100; ++p) static_cast<Vst::IParamValueQueue*>(obj)->addPoint(p, 0.5, index);
    } else if (object->queryInterface(Vst::IEventList_iid, &obj) == kResultOk) {
        Vst::Event e{};
        for (int i = 0; i < 300; ++i) static_cast<Vst::IEventList*>(obj)->addEvent(e);
    } else if (object->queryInterface(IBStream_iid, &obj) == kResultOk) {
        std::vector<char> bytes(5000, 'x');
        static_cast<IBStream*>(obj)->write(bytes.data(), static_cast<int32>(bytes.size()), nullptr);
    } else if (object->queryInterface(Vst::IComponentHandler_iid, &obj) == kResultOk) {
        for (Vst::ParamID id = 0; id < 600; ++id) static_cast<Vst::IComponentHandler*>(obj)->performEdit(id, 0.5);
    } else if (object->queryInterface(IPlugFrame_iid, &obj) == kResultOk) {
        ViewRect rect(0, 0, 10, 10);
        static_cast<IPlugFrame*>(obj)->resizeView(nullptr, &rect);
    } else {
        return;
    }
    static_cast<FUnknown*>(obj)->release();
}

class HostObjectMemory : public ::testing::TestWithParam<tv3test::HostObjectKind> {};

TEST_P(HostObjectMemory, LastReleaseFreesEverythingTheObjectTook) {
    ASSERT_TRUE(countingWorks());
    const std::int64_t before = allocations::live();
    FUnknown* object = GetParam().make();
    fill(object);
    const std::int64_t whileAlive = allocations::live();
    const uint32 left = object->release();
    const std::int64_t after = allocations::live();
    EXPECT_GT(whileAlive, before);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(after, before) << "blocks still allocated after the last release";
}

TEST_P(HostObjectMemory, ReleaseThatLeavesAReferenceFreesNothing) {
    FUnknown* object = GetParam().make();
    object->addRef();
    const std::int64_t before = allocations::live();
    object->release();
    EXPECT_EQ(allocations::live(), before);
    object->release();
}

INSTANTIATE_TEST_SUITE_P(EveryHostObject, HostObjectMemory, ::testing::ValuesIn(tv3test::allHostObjectKinds()),
                         [](const auto& info) { return info.param.name; });

TEST(HostObjectMemoryLifetime, AttributeListKeptByThePlugInIsFreedOnItsOwnRelease) {
    const std::int64_t before = allocations::live();
    auto* message = new tv3::Message();
    Vst::IAttributeList* list = message->getAttributes();
    list->addRef();
    list->setString("s", u"a text long enough to live on the heap");
    message->release();
    const std::int64_t listOnly = allocations::live();
    list->release();
    const std::int64_t after = allocations::live();
    EXPECT_GT(listOnly, before);
    EXPECT_EQ(after, before);
}

// One processing block as the host and a plug-in run it: the controller's
// edits moved into the input changes under the handler's lock, the plug-in
// reading them and writing output changes, note events in.
struct BlockObjects {
    BlockObjects() = default;
    BlockObjects(const BlockObjects&) = delete;
    BlockObjects& operator=(const BlockObjects&) = delete;
    ~BlockObjects() {
        handler->release();
        input->release();
        output->release();
        events->release();
    }

    void run(int ids, int outputPoints, int eventCount, Vst::ParamID idBase) {
        for (int i = 0; i < ids; ++i) handler->performEdit(idBase + static_cast<Vst::ParamID>(i), 0.25);
        for (int i = 0; i < ids; i += 2) handler->performEdit(idBase + static_cast<Vst::ParamID>(i), 0.75);

        input->clear();
        {
            std::lock_guard<std::mutex> hold(handler->editLock());
            for (const auto& edit : handler->pendingEditsLocked()) {
                int32 index = 0;
                input->addParameterData(edit.id, index)->addPoint(0, edit.value, index);
            }
            handler->pendingEditsLocked().clear();
        }
        events->clear();
        for (int i = 0; i < eventCount; ++i) {
            Vst::Event e{};
            e.sampleOffset = i;
            events->addEvent(e);
        }

        double sum = 0;
        for (int32 q = 0; q < input->getParameterCount(); ++q) {
            Vst::IParamValueQueue* queue = input->getParameterData(q);
            int32 offset = 0;
            double value = 0;
            for (int32 p = 0; p < queue->getPointCount(); ++p) {
                queue->getPoint(p, offset, value);
                sum += value;
            }
        }
        for (int32 i = 0; i < events->getEventCount(); ++i) {
            Vst::Event e;
            events->getEvent(i, e);
            sum += e.sampleOffset;
        }
        output->clear();
        for (int i = 0; i < ids; ++i) {
            int32 index = 0;
            Vst::IParamValueQueue* queue = output->addParameterData(idBase + 5000 + static_cast<Vst::ParamID>(i), index);
            for (int p = 0; p < outputPoints; ++p) queue->addPoint(p, sum > 0 ? 0.5 : 0.25, index);
        }
        events->clear();
    }

    tv3::ComponentHandler* handler = new tv3::ComponentHandler();
    tv3::ParameterChanges* input = new tv3::ParameterChanges();
    tv3::ParameterChanges* output = new tv3::ParameterChanges();
    tv3::EventList* events = new tv3::EventList();
};

TEST(HostObjectMemoryBlocks, BlocksNoLargerThanTheLargestSoFarAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    BlockObjects block;
    // Larger than any storage the objects set aside when made, so that the
    // warm-up itself has to grow them.
    block.run(300, 40, 500, 0);
    block.run(300, 40, 500, 100000);

    const std::uint64_t before = allocations::made();
    block.run(300, 40, 500, 200000); // the same size, other ids
    block.run(7, 3, 12, 17);         // smaller
    block.run(0, 0, 0, 0);           // empty
    block.run(300, 40, 500, 1);      // the largest again, overlapping ids
    block.run(150, 40, 499, 300000);
    const std::uint64_t during = allocations::made() - before;
    EXPECT_EQ(during, 0u) << "allocations in warmed-up blocks";

    // Only a block larger than all before it takes more.
    block.run(301, 40, 500, 400000);
    EXPECT_GT(allocations::made(), before);
}

TEST(HostObjectMemoryBlocks, ReferenceCountingAndQueriesAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    std::vector<FUnknown*> objects;
    for (const auto& kind : tv3test::allHostObjectKinds()) objects.push_back(kind.make());
    const std::uint64_t before = allocations::made();
    for (FUnknown* object : objects) {
        void* obj = nullptr;
        object->addRef();
        if (object->queryInterface(FUnknown_iid, &obj) == kResultOk) object->release();
        if (object->queryInterface(IBStream_iid, &obj) == kResultOk) object->release();
        object->release();
    }
    const std::uint64_t during = allocations::made() - before;
    for (FUnknown* object : objects) object->release();
    EXPECT_EQ(during, 0u);
}

TEST(HostObjectMemoryBlocks, ReadingSeekingAndOverwritingAStreamAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    std::vector<char> bytes(4096, 'q');
    auto* stream = new tv3::MemoryStream(bytes.data(), bytes.size());
    char buffer[512];
    const std::uint64_t before = allocations::made();
    int32 done = 0;
    int64 position = 0;
    for (int i = 0; i < 8; ++i) stream->read(buffer, sizeof(buffer), &done);
    stream->seek(100, IBStream::kIBSeekSet, &position);
    stream->write(buffer, sizeof(buffer), &done);
    stream->tell(&position);
    stream->setPosition(0);
    const std::uint64_t during = allocations::made() - before;
    stream->release();
    EXPECT_EQ(during, 0u);
}

TEST(HostObjectMemoryBlocks, ResizeRequestsAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    auto* frame = new tv3::PlugFrame();
    const std::uint64_t before = allocations::made();
    ViewRect rect(0, 0, 320, 240);
    int32 width = 0;
    int32 height = 0;
    for (int i = 0; i < 10; ++i) {
        frame->resizeView(nullptr, &rect);
        frame->takeResizeRequest(width, height);
    }
    const std::uint64_t during = allocations::made() - before;
    frame->release();
    EXPECT_EQ(during, 0u);
}

// Running out of memory while a plug-in hands over a large value is answered
// with kOutOfMemory and leaves what was there.
class OutOfMemory : public ::testing::Test {
protected:
    static constexpr std::size_t kLimit = std::size_t{1} << 20;
    void TearDown() override { allocations::failNone(); }
    std::vector<char> large = std::vector<char>(2 * kLimit, 'L');
};

TEST_F(OutOfMemory, StreamWriteIsRefusedAndTheStreamIsUnchanged) {
    const char initial[] = {1, 2, 3, 4};
    auto* stream = new tv3::MemoryStream(initial, sizeof(initial));
    stream->setPosition(2);
    allocations::failFrom(kLimit);
    int32 written = -1;
    const tresult result = stream->write(large.data(), static_cast<int32>(large.size()), &written);
    allocations::failNone();
    EXPECT_EQ(result, kOutOfMemory);
    EXPECT_EQ(written, -1);
    EXPECT_EQ(stream->size(), 4);
    EXPECT_EQ(stream->position(), 2);
    EXPECT_EQ(std::memcmp(stream->data(), initial, sizeof(initial)), 0);
    // And the stream still works once memory is back.
    EXPECT_EQ(stream->write(large.data(), 8, &written), kResultOk);
    EXPECT_EQ(stream->size(), 10);
    stream->release();
}

TEST_F(OutOfMemory, AttributeValuesAreRefusedAndTheOldValuesKept) {
    auto* list = new tv3::AttributeList();
    const char small[] = {7, 7};
    list->setBinary("b", small, sizeof(small));
    list->setString("s", u"old");
    std::u16string longText(kLimit, u'x');

    allocations::failFrom(kLimit);
    const tresult binary = list->setBinary("b", large.data(), static_cast<uint32>(large.size()));
    const tresult text = list->setString("s", longText.c_str());
    allocations::failNone();

    EXPECT_EQ(binary, kOutOfMemory);
    EXPECT_EQ(text, kOutOfMemory);
    const void* data = nullptr;
    uint32 size = 0;
    ASSERT_EQ(list->getBinary("b", data, size), kResultOk);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(std::memcmp(data, small, 2), 0);
    Vst::TChar read[8] = {};
    ASSERT_EQ(list->getString("s", read, sizeof(read)), kResultOk);
    EXPECT_EQ(std::u16string(read), u"old");
    list->release();
}

} // namespace

// The small additions a plug-in makes while it runs (an edit, a change
// queue, a point, an event) can run out of memory too once the storage set
// aside is used up. Each answers kOutOfMemory (a null queue where the
// interface has no result code), keeps what the object held, and leaks
// nothing.
class OutOfMemoryOnAdd : public ::testing::Test {
protected:
    void TearDown() override { allocations::failNone(); }
    // Every allocation fails from here until failNone.
    static void failEverything() { allocations::failFrom(0); }
};

TEST_F(OutOfMemoryOnAdd, PerformEditOfANewParameterIsRefusedAndThePendingEditsKept) {
    auto* handler = new tv3::ComponentHandler();
    // Fill the pending list until one more edit needs new storage.
    Vst::ParamID next = 0;
    {
        std::lock_guard<std::mutex> hold(handler->editLock());
        while (handler->pendingEditsLocked().size() < handler->pendingEditsLocked().capacity()) {
            handler->pendingEditsLocked().push_back({next, next * 0.001});
            ++next;
        }
    }
    const std::int64_t live = allocations::live();
    failEverything();
    const tresult added = handler->performEdit(next, 0.5);
    const tresult replaced = handler->performEdit(3, 0.75); // needs no storage
    allocations::failNone();
    EXPECT_EQ(added, kOutOfMemory);
    EXPECT_EQ(replaced, kResultOk);
    EXPECT_EQ(allocations::live(), live);
    {
        std::lock_guard<std::mutex> hold(handler->editLock());
        const auto& edits = handler->pendingEditsLocked();
        ASSERT_EQ(edits.size(), static_cast<std::size_t>(next));
        for (Vst::ParamID id = 0; id < next; ++id) {
            EXPECT_EQ(edits[id].id, id);
            EXPECT_EQ(edits[id].value, id == 3 ? 0.75 : id * 0.001);
        }
    }
    // With memory back, the same edit goes through.
    EXPECT_EQ(handler->performEdit(next, 0.5), kResultOk);
    handler->release();
}

TEST_F(OutOfMemoryOnAdd, EventIsRefusedAndTheListKept) {
    auto* list = new tv3::EventList();
    Vst::Event e{};
    int32 added = 0;
    // Up to the storage the list set aside when it was made.
    for (;;) {
        const std::uint64_t before = allocations::made();
        e.sampleOffset = added;
        ASSERT_EQ(list->addEvent(e), kResultOk);
        if (allocations::made() != before) FAIL() << "the list grew before its storage ran out";
        ++added;
        if (added == 128) break;
    }
    const std::int64_t live = allocations::live();
    failEverything();
    e.sampleOffset = 999;
    const tresult result = list->addEvent(e);
    allocations::failNone();
    EXPECT_EQ(result, kOutOfMemory);
    EXPECT_EQ(allocations::live(), live);
    ASSERT_EQ(list->getEventCount(), added);
    for (int32 i = 0; i < added; ++i) {
        Vst::Event out{};
        ASSERT_EQ(list->getEvent(i, out), kResultOk);
        EXPECT_EQ(out.sampleOffset, i);
    }
    failEverything();
    const bool reserved = list->reserve(1000);
    allocations::failNone();
    EXPECT_FALSE(reserved) << "a reservation without memory is refused";
    EXPECT_EQ(list->getEventCount(), added);
    EXPECT_TRUE(list->reserve(1000));
    EXPECT_EQ(list->getEventCount(), added);
    list->release();
}

TEST_F(OutOfMemoryOnAdd, PointIsRefusedAndTheQueueKept) {
    auto* queue = new tv3::ParamValueQueue(42);
    int32 index = -1;
    for (int32 p = 0; p < 8; ++p) ASSERT_EQ(queue->addPoint(p, p * 0.1, index), kResultOk);
    const std::int64_t live = allocations::live();
    failEverything();
    index = -7;
    const tresult result = queue->addPoint(100, 0.9, index);
    allocations::failNone();
    EXPECT_EQ(result, kOutOfMemory);
    EXPECT_EQ(index, -7) << "no index for a point that was not added";
    EXPECT_EQ(allocations::live(), live);
    ASSERT_EQ(queue->getPointCount(), 8);
    for (int32 p = 0; p < 8; ++p) {
        int32 offset = -1;
        double value = -1;
        ASSERT_EQ(queue->getPoint(p, offset, value), kResultOk);
        EXPECT_EQ(offset, p);
        EXPECT_EQ(value, p * 0.1);
    }
    queue->release();
}

// Where the new queue runs out: the queue object itself, its point storage,
// or the list's own storage once the queue exists.
struct QueueFailure {
    const char* name;
    Vst::ParamID queuesBefore; // the list sets aside room for 16
    std::size_t failFrom;
};

class OutOfMemoryOnNewQueue : public OutOfMemoryOnAdd, public ::testing::WithParamInterface<QueueFailure> {};

TEST_P(OutOfMemoryOnNewQueue, NoQueueNoLeakAndTheListKept) {
    auto* changes = new tv3::ParameterChanges();
    const Vst::ParamID before = GetParam().queuesBefore;
    std::vector<Vst::IParamValueQueue*> queues;
    for (Vst::ParamID id = 0; id < before; ++id) {
        int32 index = -1;
        Vst::IParamValueQueue* queue = changes->addParameterData(id, index);
        ASSERT_NE(queue, nullptr);
        queue->addPoint(0, id * 0.01, index);
        queues.push_back(queue);
    }
    const std::int64_t live = allocations::live();
    allocations::failFrom(GetParam().failFrom);
    int32 index = -7;
    Vst::IParamValueQueue* refused = changes->addParameterData(500, index);
    int32 again = -7;
    Vst::IParamValueQueue* existing = changes->addParameterData(5, again); // needs no storage
    allocations::failNone();
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(index, -7);
    EXPECT_EQ(existing, queues[5]);
    EXPECT_EQ(again, 5);
    EXPECT_EQ(allocations::live(), live) << "a half-made queue was leaked or kept";
    ASSERT_EQ(changes->getParameterCount(), static_cast<int32>(before));
    for (int32 q = 0; q < static_cast<int32>(before); ++q) {
        ASSERT_EQ(changes->getParameterData(q), queues[q]);
        EXPECT_EQ(queues[q]->getParameterId(), static_cast<Vst::ParamID>(q));
        EXPECT_EQ(queues[q]->getPointCount(), 1);
    }
    // With memory back, the list grows as before.
    Vst::IParamValueQueue* added = changes->addParameterData(500, index);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(index, static_cast<int32>(before));
    EXPECT_EQ(added->getParameterId(), 500u);
    changes->release();
}

INSTANTIATE_TEST_SUITE_P(Where, OutOfMemoryOnNewQueue,
                         ::testing::Values(QueueFailure{"TheQueue", 15, 0},
                                           QueueFailure{"ItsPoints", 15, sizeof(tv3::ParamValueQueue) + 1},
                                           // The queue and its points fit, the list's larger storage not.
                                           QueueFailure{"TheListsStorage", 16,
                                                        8 * sizeof(tv3::ParamValueQueue::Point) + 1}),
                         [](const auto& info) { return info.param.name; });

TEST_F(OutOfMemoryOnAdd, HostApplicationAnswersWithoutAnObject) {
    auto* host = new tv3::HostApplication();
    for (const auto* id : {Vst::IMessage_iid, Vst::IAttributeList_iid}) {
        TUID cid;
        std::memcpy(cid, id, sizeof cid);
        void* obj = reinterpret_cast<void*>(0x1);
        const std::int64_t live = allocations::live();
        failEverything();
        const tresult result = host->createInstance(cid, cid, &obj);
        allocations::failNone();
        EXPECT_EQ(result, kOutOfMemory);
        EXPECT_EQ(obj, nullptr);
        EXPECT_EQ(allocations::live(), live);
    }
    host->release();
}

TEST_F(OutOfMemoryOnAdd, MessageKeepsItsIdWhenANewOneFindsNoRoom) {
    auto* message = new tv3::Message();
    message->setMessageID("old");
    const std::string longId(200, 'n');
    failEverything();
    message->setMessageID(longId.c_str());
    allocations::failNone();
    ASSERT_NE(message->getMessageID(), nullptr);
    EXPECT_STREQ(message->getMessageID(), "old");
    message->release();
}
