// A random number in (0, 1) written as text by a fresh script engine (Math.random().toString()),
// for example "0.5123...". The empty text when the engine cannot be created or the script fails.
#pragma once

#include "platform/text.h"

namespace varnelo {

Text ScriptRandomText();

}  // namespace varnelo
