// Every class of host object a plug-in can be handed, with a way to make a
// fresh one, so that the rules they all share can be checked in one table.
#pragma once

#include "tv3/AttributeList.h"
#include "tv3/ComponentHandler.h"
#include "tv3/EmptyEventList.h"
#include "tv3/EventList.h"
#include "tv3/HostApplication.h"
#include "tv3/MemoryStream.h"
#include "tv3/Message.h"
#include "tv3/ParamValueQueue.h"
#include "tv3/ParameterChanges.h"
#include "tv3/PlugFrame.h"

#include <ostream>
#include <string>
#include <vector>

namespace tv3test {

struct HostObjectKind {
    std::string name;
    const Steinberg::int8* ownIid;
    // A new object with a count of 1, seen through its one interface (as the
    // plug-in sees it) and through FUnknown.
    Steinberg::FUnknown* (*make)();
};

inline void PrintTo(const HostObjectKind& kind, std::ostream* out) { *out << kind.name; }

template <class Interface, class Object>
Steinberg::FUnknown* makeAs() {
    return static_cast<Interface*>(new Object());
}

inline Steinberg::FUnknown* makeQueue() {
    return static_cast<Steinberg::Vst::IParamValueQueue*>(new tv3::ParamValueQueue(42));
}

inline std::vector<HostObjectKind> allHostObjectKinds() {
    using namespace Steinberg;
    return {
        {"HostApplication", Vst::IHostApplication_iid, &makeAs<Vst::IHostApplication, tv3::HostApplication>},
        {"Message", Vst::IMessage_iid, &makeAs<Vst::IMessage, tv3::Message>},
        {"AttributeList", Vst::IAttributeList_iid, &makeAs<Vst::IAttributeList, tv3::AttributeList>},
        {"PlugFrame", IPlugFrame_iid, &makeAs<IPlugFrame, tv3::PlugFrame>},
        {"ComponentHandler", Vst::IComponentHandler_iid, &makeAs<Vst::IComponentHandler, tv3::ComponentHandler>},
        {"ParameterChanges", Vst::IParameterChanges_iid, &makeAs<Vst::IParameterChanges, tv3::ParameterChanges>},
        {"ParamValueQueue", Vst::IParamValueQueue_iid, &makeQueue},
        {"EventList", Vst::IEventList_iid, &makeAs<Vst::IEventList, tv3::EventList>},
        {"EmptyEventList", Vst::IEventList_iid, &makeAs<Vst::IEventList, tv3m::EmptyEventList>},
        {"MemoryStream", IBStream_iid, &makeAs<IBStream, tv3::MemoryStream>},
    };
}

} // namespace tv3test
