// The 16-byte id of each interface a host object implements. Taken from the
// per-header TUID constants, so no FUID objects (and no pluginterfaces source
// file) are needed.
#pragma once

#include <pluginterfaces/base/ibstream.h>
#include <pluginterfaces/gui/iplugview.h>
#include <pluginterfaces/vst/ivstattributes.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstevents.h>
#include <pluginterfaces/vst/ivsthostapplication.h>
#include <pluginterfaces/vst/ivstmessage.h>
#include <pluginterfaces/vst/ivstparameterchanges.h>

namespace tv3 {

template <class I>
struct InterfaceId;

#define TV3_INTERFACE_ID(Interface, Tuid)                                                                     \
    template <>                                                                                               \
    struct InterfaceId<Interface> {                                                                           \
        static const Steinberg::int8* value() { return Tuid; }                                                \
    };

TV3_INTERFACE_ID(Steinberg::FUnknown, Steinberg::FUnknown_iid)
TV3_INTERFACE_ID(Steinberg::IBStream, Steinberg::IBStream_iid)
TV3_INTERFACE_ID(Steinberg::IPlugFrame, Steinberg::IPlugFrame_iid)
// Declared by the interface headers on Linux only, where editors need it.
TV3_INTERFACE_ID(Steinberg::Linux::IRunLoop, Steinberg::Linux::IRunLoop_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IHostApplication, Steinberg::Vst::IHostApplication_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IMessage, Steinberg::Vst::IMessage_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IAttributeList, Steinberg::Vst::IAttributeList_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IComponentHandler, Steinberg::Vst::IComponentHandler_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IParameterChanges, Steinberg::Vst::IParameterChanges_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IParamValueQueue, Steinberg::Vst::IParamValueQueue_iid)
TV3_INTERFACE_ID(Steinberg::Vst::IEventList, Steinberg::Vst::IEventList_iid)

#undef TV3_INTERFACE_ID

} // namespace tv3
