#pragma once

#include <QString>

class TSerialPortDriver;
namespace Ui {
class FCOMM;
}

// The serial link as the window shows it: which port the selector offers, opening the port
// with a message that says why it failed, and the controls of a connected or closed link.
namespace serialconnection {

// Each selector panel selects the next port, so clicking the visible one steps the port on
// (COM4 wraps to COM1).
constexpr int nextPort(int port) { return port % 4 + 1; }

// Opens the driver's port. Empty when it is open; otherwise the message for the user, naming
// the COM port, its device and the system's reason.
QString open(TSerialPortDriver &driver);

// Menu check marks and the selector panel of port `port` (1 to 4).
void showSelectedPort(Ui::FCOMM &ui, int port);
// The connect and disconnect controls, the port menu and the selector panels for a link that
// is open or closed.
void showLink(Ui::FCOMM &ui, bool open);

} // namespace serialconnection
