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

    // Port number of a port text: 1 for texts of up to three characters or when the rest after
    // "COM" is no integer, otherwise that integer's low byte.
    [[nodiscard]] static int ParsePortNumber(const QString& text);
    // "COM" + the number of the selected item, else the text typed in the port box.
    [[nodiscard]] QString SelectedPortName() const;
    // Port number carried by an item of PortCB.
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
