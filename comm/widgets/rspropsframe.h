// SPDX-License-Identifier: MIT
#pragma once

#include "comm/commtypes.h"
#include "comm/widgets/basepropsframe.h"
#include "platform/portlist.h"
#include "ui_rspropsframe.h"

#include <functional>

// Settings of a serial transport. Array (0..8): transport type, port name, speed item index,
// then for RS-232 flow control, answer delay, byte timeout, retries, and for the other types
// answer delay, byte timeout, retries, last-byte time; 7 remote machine name, 8 "use the remote
// server". Numbers are 32-bit signed; edits convert from and to decimal text. The controls
// (GroupBox1, PortCB, SpeedCB, ...) come from rspropsframe.ui.
class TRSPropsFrame : public TBasePropsFrame, public Ui::RSPropsFrame {
    Q_OBJECT
public:
    explicit TRSPropsFrame(QWidget* parent = nullptr);

    QVariant GetProps() override;
    void SetProps(const QVariant& AProps) override;
    void SetButtons() override;

    // "COM" + the number of the selected item, else the text typed in the port box (also the
    // text of an item that names no port by the COMn rule, so Apply writes it back unchanged).
    [[nodiscard]] QString SelectedPortName() const;
    // Port number carried by an item of PortCB (platform::comPortNumber of its name; 0: none).
    int PortNumberAt(int index) const;

    // Where the port list comes from (tests set a fixed one); nullptr restores the system's.
    static void setPortSource(std::function<QList<platform::SerialPortEntry>()> source);

    void UseDCOMCBClick();

    comm::TTransportType FTransportType = comm::ttRS232;

private:
    void FillPortList();
    // Speed ordinal last loaded: written back when the speed box shows no item (600 baud has
    // none), so that Apply keeps the transport's speed.
    qint32 m_loadedSpeed = 4;
};
