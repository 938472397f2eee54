// SPDX-License-Identifier: MIT
#pragma once

#include <QFrame>
#include <QVariant>

// A settings frame of the connection dialog: shows the settings array of one component and
// builds it back from its controls.
class TBasePropsFrame : public QFrame {
    Q_OBJECT
public:
    using QFrame::QFrame;

    // Throws comm::EConvertError when a field does not hold what the array needs.
    virtual QVariant GetProps() = 0;
    virtual void SetProps(const QVariant& AProps) = 0;
    virtual void SetButtons() = 0;

    QVariant Props() { return GetProps(); }
    void SetPropsValue(const QVariant& AProps) { SetProps(AProps); }
};
