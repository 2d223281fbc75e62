// The editor requests. No editor window can be shown on this platform yet, so
// "openEditor" says so, and raising or closing finds nothing to act on.
#include "HelperSession.h"

HelperSession::Reply HelperSession::openEditor(const PluginBridgeMessage&) {
    if (!plugin_) return {PluginBridgeMessage::reply(std::string("no instance is open")), {}};
    return {PluginBridgeMessage::reply(std::string("this plug-in has no Linux editor")), {}};
}

HelperSession::Reply HelperSession::raiseEditor() {
    return {PluginBridgeMessage::reply(), {}};
}

HelperSession::Reply HelperSession::closeEditor() {
    status_->setEditorOpen(false);
    return {PluginBridgeMessage::reply(), {}};
}
