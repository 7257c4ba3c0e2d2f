#include "SerialConnection.h"

#include "ui_FCOMM.h"

#include "link/ComPortNames.h"
#include "link/PortOpenFailure.h"
#include "link/SerialPortDriver.h"

namespace serialconnection {

QString open(TSerialPortDriver &driver)
{
    if (driver.open())
        return QString();
    const int port = static_cast<int>(driver.comPort()) + 1;
    return portOpenFailureMessage(port, comPortDevice(port), driver.errorString(),
                                  driver.errorNumber());
}

void showSelectedPort(Ui::FCOMM &ui, int port)
{
    QAction *const items[] = {ui.COM11, ui.COM21, ui.COM31, ui.COM41};
    ClickPanel *const panels[] = {ui.BtCOM1, ui.BtCOM2, ui.BtCOM3, ui.BtCOM4};
    for (int i = 0; i < 4; ++i) {
        items[i]->setChecked(i + 1 == port);
        panels[i]->setVisible(i + 1 == port);
    }
}

void showLink(Ui::FCOMM &ui, bool open)
{
    ui.ComSetup1->setEnabled(!open);
    ui.START1->setChecked(open);
    ui.START1->setEnabled(!open);
    ui.STOP1->setEnabled(open);
    ui.STOP1->setChecked(!open);
    ui.BTCon->setVisible(!open);
    ui.BtDiscon->setVisible(open);
    for (ClickPanel *p : {ui.BtCOM1, ui.BtCOM2, ui.BtCOM3, ui.BtCOM4})
        p->setEnabled(!open);
}

} // namespace serialconnection
