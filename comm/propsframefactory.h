#pragma once

#include <functional>

class TBasePropsFrame;

// The settings frames of the connection dialog belong to the widgets library; the components
// create them through this hook, which that library installs. Without it CreatePropsFrame gives
// nullptr.
namespace comm {

enum class PropsFrameKind { RS232, Modbus };
using PropsFrameFactory = std::function<TBasePropsFrame*(PropsFrameKind)>;

void setPropsFrameFactory(PropsFrameFactory factory);
TBasePropsFrame* createPropsFrame(PropsFrameKind kind);

} // namespace comm
