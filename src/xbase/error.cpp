#include "xbase/error.h"

namespace xbase {

void fail(int code, const std::string& text) {
    throw Error(code, text);
}

}  // namespace xbase
