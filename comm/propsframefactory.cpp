#include "comm/propsframefactory.h"

namespace comm {

namespace {
PropsFrameFactory& factory() {
    static PropsFrameFactory f;
    return f;
}
} // namespace

void setPropsFrameFactory(PropsFrameFactory f) {
    factory() = std::move(f);
}

TBasePropsFrame* createPropsFrame(PropsFrameKind kind) {
    return factory() ? factory()(kind) : nullptr;
}

} // namespace comm
