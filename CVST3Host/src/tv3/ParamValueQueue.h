#pragma once

#include "tv3/Unknown.h"

#include <vector>

namespace tv3 {

// The points of one parameter within one block, in the order added.
class ParamValueQueue final : public Unknown<Steinberg::Vst::IParamValueQueue> {
public:
    struct Point {
        Steinberg::int32 sampleOffset;
        Steinberg::Vst::ParamValue value;
    };

    explicit ParamValueQueue(Steinberg::Vst::ParamID id);

    Steinberg::Vst::ParamID PLUGIN_API getParameterId() override { return id_; }
    Steinberg::int32 PLUGIN_API getPointCount() override { return static_cast<Steinberg::int32>(points_.size()); }
    Steinberg::tresult PLUGIN_API getPoint(Steinberg::int32 index, Steinberg::int32& sampleOffset,
                                           Steinberg::Vst::ParamValue& value) override;
    Steinberg::tresult PLUGIN_API addPoint(Steinberg::int32 sampleOffset, Steinberg::Vst::ParamValue value,
                                           Steinberg::int32& index) override;

    // Makes the queue hold another parameter, with no points; keeps storage.
    void reset(Steinberg::Vst::ParamID id);
    void clearPoints() { points_.clear(); }

private:
    Steinberg::Vst::ParamID id_;
    std::vector<Point> points_;
};

} // namespace tv3
