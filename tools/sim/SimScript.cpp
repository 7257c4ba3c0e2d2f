#include "SimScript.h"

#include <QtMath>

#include <array>
#include <cstdlib>

namespace {

using protocol::Annunciator;
using protocol::Annunciators;

enum class Overload
{
    None,
    Positive,
    Negative
};

struct Scene
{
    const char *name;
    Annunciators annunciators;
    int point;  // decimal point after digit 1, 2 or 3; 0 for none
    int counts; // the displayed value in counts, the point ignored
    int drift;  // how far the value wanders either side of counts over the scene
    Overload overload;
};

constexpr Annunciators kDcAuto = Annunciator::Dc | Annunciator::AutoRange;
constexpr Annunciators kAcAuto = Annunciator::Ac | Annunciator::AutoRange;

const std::array<Scene, 20> kScenes{{
    {"DC volts, auto range", kDcAuto | Annunciator::Volt, 2, 1234, 25, Overload::None},
    {"DC millivolts, manual range", Annunciator::Dc | Annunciator::Milli | Annunciator::Volt, 2,
     -4567, 60, Overload::None},
    {"AC volts, auto range", kAcAuto | Annunciator::Volt, 3, 2301, 15, Overload::None},
    {"DC volts, overload", Annunciator::Dc | Annunciator::Volt, 2, 0, 0, Overload::Positive},
    {"DC amperes", kDcAuto | Annunciator::Ampere, 1, 1502, 40, Overload::None},
    {"AC milliamperes, hold",
     Annunciator::Ac | Annunciator::Hold | Annunciator::Milli | Annunciator::Ampere, 3, 1234, 0,
     Overload::None},
    {"DC microamperes, relative",
     kDcAuto | Annunciator::Relative | Annunciator::Micro | Annunciator::Ampere, 2, 0, 150,
     Overload::None},
    {"ohms, manual range", Annunciator::Ohm, 3, 2205, 8, Overload::None},
    {"kilohms, auto range", Annunciator::AutoRange | Annunciator::Kilo | Annunciator::Ohm, 1, 4701,
     12, Overload::None},
    {"megohms, auto range", Annunciator::AutoRange | Annunciator::Mega | Annunciator::Ohm, 1, 1000,
     20, Overload::None},
    {"open circuit, overload", Annunciator::AutoRange | Annunciator::Mega | Annunciator::Ohm, 2, 0,
     0, Overload::Positive},
    {"hertz", Annunciator::AutoRange | Annunciator::Hertz, 2, 5001, 6, Overload::None},
    {"kilohertz", Annunciator::AutoRange | Annunciator::Kilo | Annunciator::Hertz, 1, 1234, 30,
     Overload::None},
    {"duty cycle percent", Annunciator::Percent, 3, 500, 40, Overload::None},
    {"degrees Celsius", Annunciator::Celsius, 3, 235, 10, Overload::None},
    {"degrees Fahrenheit", Annunciator::Fahrenheit, 3, 743, 18, Overload::None},
    {"nanofarads", Annunciator::Nano | Annunciator::Farad, 2, 1005, 5, Overload::None},
    {"microfarads, relative", Annunciator::Relative | Annunciator::Micro | Annunciator::Farad, 2,
     4712, 10, Overload::None},
    {"diode, with beeper", Annunciator::Beeper | Annunciator::Diode | Annunciator::Volt, 1, 512, 3,
     Overload::None},
    {"AC volts, negative overload, low battery",
     Annunciator::Ac | Annunciator::Battery | Annunciator::Volt, 3, 0, 0, Overload::Negative},
}};

} // namespace

int SimScript::sceneCount()
{
    return static_cast<int>(kScenes.size());
}

QString SimScript::sceneName(int scene)
{
    return QString::fromLatin1(kScenes.at(scene % sceneCount()).name);
}

protocol::DisplayState SimScript::state(qint64 frameIndex)
{
    const qint64 inCycle = frameIndex % cycleLength();
    const int sceneIndex = static_cast<int>(inCycle / kFramesPerScene);
    const int step = static_cast<int>(inCycle % kFramesPerScene);
    const Scene &scene = kScenes[sceneIndex];

    protocol::DisplayState display;
    display.annunciators = scene.annunciators;
    display.point = scene.point;

    if (scene.overload != Overload::None) {
        display.overload = true;
        display.negative = scene.overload == Overload::Negative;
        return display;
    }

    // One slow swing up and down per scene.
    const double phase = 2.0 * M_PI * step / kFramesPerScene;
    const int counts = scene.counts + qRound(scene.drift * qSin(phase));
    display.negative = counts < 0;
    display.digits = QByteArray::number(std::abs(counts) % 10000).rightJustified(4, '0');
    return display;
}
