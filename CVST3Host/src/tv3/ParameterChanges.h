#pragma once

#include "tv3/ParamValueQueue.h"
#include "tv3/Unknown.h"

#include <vector>

namespace tv3 {

// The parameter changes of one block. Queues are kept across blocks and
// reused, so once the list has carried its largest block it allocates nothing.
class ParameterChanges final : public Unknown<Steinberg::Vst::IParameterChanges> {
public:
    ParameterChanges();
    ~ParameterChanges() override;

    Steinberg::int32 PLUGIN_API getParameterCount() override {
        read_ = true;
        return used_;
    }
    Steinberg::Vst::IParamValueQueue* PLUGIN_API getParameterData(Steinberg::int32 index) override;
    Steinberg::Vst::IParamValueQueue* PLUGIN_API addParameterData(const Steinberg::Vst::ParamID& id,
                                                                  Steinberg::int32& index) override;

    // Empties every queue and the list, keeping the queues for the next block.
    void clear();
    // Whether the plug-in looked at the list (its count or a queue) since the
    // last clear(): a plug-in may skip a call without samples altogether.
    bool wasRead() const { return read_; }

private:
    bool read_ = false;
    std::vector<ParamValueQueue*> queues_; // one reference each
    Steinberg::int32 used_ = 0;
};

} // namespace tv3
