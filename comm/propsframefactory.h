// SPDX-License-Identifier: MIT
#pragma once

class TBasePropsFrame;

// The settings frames of the connection dialog belong to the widgets library; a component
// creates its frame through the factory it was given (the dialog manager gives its own to the
// components it lists). A component without one creates no frame.
namespace comm {

enum class PropsFrameKind { RS232, Modbus };

class IPropsFrameFactory {
public:
    virtual ~IPropsFrameFactory() = default;
    // A new frame without owner, for the caller to own.
    virtual TBasePropsFrame* CreatePropsFrame(PropsFrameKind kind) = 0;
};

} // namespace comm
