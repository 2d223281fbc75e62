# The VST3 interface definitions come from Debian's juce-modules-source-data.
# Only pluginterfaces/ is used: the SDK's ready-made host and helper classes are not.
set(TV3_VST3_SDK "/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK"
    CACHE PATH "Folder that holds the VST3 pluginterfaces/ headers")

if(NOT EXISTS "${TV3_VST3_SDK}/pluginterfaces/base/funknown.h")
  message(FATAL_ERROR
    "The VST3 interface headers were not found in ${TV3_VST3_SDK}/pluginterfaces.\n"
    "Install them with: apt-get install juce-modules-source-data\n"
    "(or point TV3_VST3_SDK at a folder that holds pluginterfaces/).")
endif()

add_library(vst3_interfaces INTERFACE)
# SYSTEM: the headers are not ours and are not warning-clean.
target_include_directories(vst3_interfaces SYSTEM INTERFACE "${TV3_VST3_SDK}")
