#include "ModelProfile.h"

ModelProfile resolveProfile(const ProfileSwitches &s)
{
    ModelProfile p;
    auto apply = [&p](const char *caption, ReceiveRoutine routine, int speed, const char *code) {
        p.caption = QString::fromLatin1(caption);
        p.receiveRoutine = routine;
        if (speed)
            p.serialSpeed = speed;
        if (code)
            p.countCode = QString::fromLatin1(code);
    };
    if (s.IFRostav) {
        apply("Pelmar Interface Program _Ver: 2.00", ReceiveRoutine::IndexedFrameData, 0, nullptr);
        p.firstDigitThree = true;
    }
    if (s.IFTarvo)
        apply("Tarvo USB Interface Program _Ver: 1.00", ReceiveRoutine::RECEIVE_COM_Data, 0, nullptr);
    if (s.IFQuindel)
        apply("Quindel Interface Program _Ver: 2.06", ReceiveRoutine::RECEIVE_COM_Data, 0, "34");
    if (s.IFYorbel)
        apply("Yorbel USB Interface Program _Ver: 1.00", ReceiveRoutine::RECEIVE_COM_Data, 19200, "4");
    if (s.IFZandor)
        apply("Zandor USB Interface Program _Ver: 1.00", ReceiveRoutine::RECEIVE_COM_Data, 19200, "4");
    if (s.IFUlmara)
        apply("Vorlatt Interface Program: 1.0.1", ReceiveRoutine::RECEIVE_COM_Data, 0, "6");

    if (s.IFTarvo)
        p.usbReportRoutine = UsbReportRoutine::HidRotatedNibbleData;
    if (s.IFRostav)
        p.usbReportRoutine = UsbReportRoutine::HidIndexedFrameData;
    if (s.IFUlmara)
        p.usbReportRoutine = UsbReportRoutine::HidReadingFrameData;

    if (s.IFYorbel)
        p.usbCableSpeed = 19200;
    if (s.IFRostav || s.IFTarvo || s.IFUlmara)
        p.usbCableSpeed = 2400;
    return p;
}

std::optional<protocol::SerialRoutine> serialRoutineOf(ReceiveRoutine routine)
{
    switch (routine) {
    case ReceiveRoutine::RECEIVE_COM_Data:
        return protocol::SerialRoutine::RECEIVE_COM_Data;
    case ReceiveRoutine::IndexedFrameData:
        return protocol::SerialRoutine::IndexedFrameData;
    case ReceiveRoutine::None:
        break;
    }
    return std::nullopt;
}

std::optional<protocol::HidRoutine> hidRoutineOf(UsbReportRoutine routine)
{
    switch (routine) {
    case UsbReportRoutine::HidReadingFrameData:
        return protocol::HidRoutine::HidReadingFrameData;
    case UsbReportRoutine::HidIndexedFrameData:
        return protocol::HidRoutine::HidIndexedFrameData;
    case UsbReportRoutine::HidRotatedNibbleData:
        return protocol::HidRoutine::HidRotatedNibbleData;
    case UsbReportRoutine::None:
        break;
    }
    return std::nullopt;
}
