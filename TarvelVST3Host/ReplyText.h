// Every text a reply carries is made valid UTF-8 before it is encoded: plug-ins
// hand over titles and error texts with stray bytes or cut characters, and a
// reply that cannot be encoded would cost the whole session.
#pragma once

#include "TarvelPluginBridge/PluginBridgeMessage.h"

// Replaces each ill-formed sequence in the message's texts by U+FFFD.
void makeRepliedTextsValid(PluginBridgeMessage& message);
