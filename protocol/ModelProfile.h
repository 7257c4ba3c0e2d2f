#pragma once

#include "HidFrameAssembler.h"
#include "SerialFrameAssembler.h"

#include <QString>

#include <optional>

// The eleven profile switches of the main window's layout. They choose the meter model and are
// fixed in the build; tests build the window with other sets. The headless logger reads the same
// profile, so both take the line speed and the frame routines from one place.
struct ProfileSwitches
{
    bool IFRostav = false;
    bool IFTarvo = false;
    bool IFQuindel = false;
    bool IFHestrin = false;
    bool IFYorbel = false;
    bool IFZandor = false;
    bool IFUlmara = true;
    bool IFTolvik = false;
    bool IFVarnol = false;
    bool IFWexlin = false;
    bool IFSernic = false;
};

enum class ReceiveRoutine { None, RECEIVE_COM_Data, IndexedFrameData };
enum class UsbReportRoutine { None, HidReadingFrameData, HidIndexedFrameData, HidRotatedNibbleData };

// What the switches fix for the run. Fields no ticked switch sets keep these prior values.
struct ModelProfile
{
    QString caption = QStringLiteral("Vorlatt Kesmiro win7");
    ReceiveRoutine receiveRoutine = ReceiveRoutine::None;
    int serialSpeed = 2400;
    QString countCode = QStringLiteral("4");
    bool firstDigitThree = false; // the first digit label starts as "3"
    UsbReportRoutine usbReportRoutine = UsbReportRoutine::None;
    int usbCableSpeed = 2400;
};

// Start-up fields: every ticked switch applies its row in order, so a later one overrides.
// USB fields: the report routine from IFTarvo, IFRostav, IFUlmara (last ticked wins); the cable
// speed 2400 unless IFYorbel, which IFRostav, IFTarvo or IFUlmara set back to 2400.
ModelProfile resolveProfile(const ProfileSwitches &switches);

// The frame routines of the profile's receive and report routines; none for None.
std::optional<protocol::SerialRoutine> serialRoutineOf(ReceiveRoutine routine);
std::optional<protocol::HidRoutine> hidRoutineOf(UsbReportRoutine routine);
