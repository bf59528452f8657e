#include "support/script_random.h"

#include "support/script_engine.h"

namespace varnelo {

Text ScriptRandomText() {
    auto engine = ScriptEngine::Create();
    if (!engine || !engine->AddCode(u"function time(){return Math.random().toString()}")) {
        return {};
    }
    auto value = engine->Eval(u"time()");
    return value ? Utf16ToCp936(ScriptValueToText(*value)) : Text();
}

}  // namespace varnelo
