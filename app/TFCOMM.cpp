#include "TFCOMM.h"

#include "ClickPanel.h"
#include "ClockText.h"
#include "Shortcuts.h"
#include "ToggleGroup.h"
#include "ui_FCOMM.h"

#include "assets/Assets.h"
#include "link/ComPortNames.h"
#include "link/LinkWatchdog.h"
#include "link/PortOpenFailure.h"
#include "link/SerialPortDriver.h"
#include "link/hid/THidDeviceController.h"
#include "link/hid/UsbCable.h"
#include "log/DataFiles.h"
#include "log/LogGridView.h"
#include "log/LogReport.h"
#include "log/LogTableModel.h"
#include "log/ReportPreview.h"
#include "protocol/DecodedFrame.h"
#include "views/KeyFilter.h"
#include "views/ReadingChart.h"

#include <QAction>
#include <QApplication>
#include <QChartView>
#include <QDateTime>
#include <QMenuBar>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMovie>
#include <QProxyStyle>
#include <QScreen>
#include <QTimer>

namespace {

constexpr int kClientWidth = 620;
constexpr int kClientHeight = 449;
// The window's outer width as designed: the client area plus a 3-pixel frame on each side. The
// layout rule works from it rather than from the frame a window manager happens to draw, so the
// dial panel is the same width on every desktop (and with no window manager at all).
constexpr int kDesignOuterWidth = kClientWidth + 2 * 3;

// The design's check boxes were laid out for a 13-pixel box with a narrow gap before the
// caption; the default style's larger indicator and spacing would cut "Repeat" and "Sampling
// Interval" short.
class DesignCheckBoxStyle : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
            return 13;
        case PM_CheckBoxLabelSpacing:
            return 2;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }
};

} // namespace

TFCOMM::TFCOMM(const ProfileSwitches *switches, QWidget *parent,
               std::unique_ptr<HidBackend> hidBackend)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::FCOMM>()),
      m_terminate([] { QCoreApplication::quit(); })
{
    m_ui->setupUi(this);

    // The serial driver as designed: COM1, 2400 baud, polled every 100 ms; the port stays closed
    // until the user connects.
    COMM2 = new TSerialPortDriver(this);
    COMM2->setComPort(TComPortNumber::pnCOM1);
    COMM2->setComPortSpeed(TComPortBaudRate::br2400);
    COMM2->setComPortPollingDelay(100);

    // The profile comes from the switches of the layout, unless a test hands in its own set.
    const std::pair<QCheckBox *, bool ProfileSwitches::*> profileSwitches[] = {
        {m_ui->IFRostav, &ProfileSwitches::IFRostav},   {m_ui->IFTarvo, &ProfileSwitches::IFTarvo},
        {m_ui->IFQuindel, &ProfileSwitches::IFQuindel}, {m_ui->IFHestrin, &ProfileSwitches::IFHestrin},
        {m_ui->IFYorbel, &ProfileSwitches::IFYorbel},   {m_ui->IFZandor, &ProfileSwitches::IFZandor},
        {m_ui->IFUlmara, &ProfileSwitches::IFUlmara},   {m_ui->IFTolvik, &ProfileSwitches::IFTolvik},
        {m_ui->IFVarnol, &ProfileSwitches::IFVarnol},   {m_ui->IFWexlin, &ProfileSwitches::IFWexlin},
        {m_ui->IFSernic, &ProfileSwitches::IFSernic}};
    for (const auto &[box, field] : profileSwitches) {
        if (switches)
            box->setChecked(switches->*field);
        m_switches.*field = box->isChecked();
    }

    // One fixed-size window: the client area is 620 x 449 below the menu bar, with a system menu,
    // Minimize and Close but no Maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    applyDesignFonts();
    fitCheckBoxCaptions();
    centralWidget()->setFixedSize(kClientWidth, kClientHeight);
    // Sized once the design's fonts are on: the window is exactly the menu bar, at the height the
    // main window's layout gives it for this width, plus the client area.
    QMenuBar *menu = menuBar();
    const int menuHeight = menu->hasHeightForWidth() ? qMax(menu->heightForWidth(kClientWidth),
                                                            menu->minimumSizeHint().height())
                                                     : menu->sizeHint().height();
    setFixedSize(kClientWidth, kClientHeight + menuHeight);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    applyPictures();
    findReplicaControls();

    m_timer1 = new QTimer(this);
    m_timer1->setInterval(1000);
    m_conTimer = new QTimer(this);
    m_conTimer->setObjectName(QStringLiteral("ConTimer"));
    m_conTimer->setInterval(100);
    m_trecord = new QTimer(this);
    m_trecord->setInterval(1000);

    // The chart fills its frame beneath the row of page buttons that lies over its top edge.
    m_chartView = new QChartView(m_ui->Chtshow);
    m_chartView->setGeometry(m_ui->Chtshow->contentsRect());
    m_chartView->lower();
    m_chartView->setCursor(Qt::CrossCursor);
    m_chart = new ReadingChart(m_chartView, this);
    m_ui->KD1->setImage(&m_dial.image());

    m_logModel = new LogTableModel(m_log, this);
    m_logModel->setUnitFont(assets::displayFont(12));
    m_ui->DBGrid1->setLogModel(m_logModel);
    m_dataFiles = std::make_unique<DataFiles>(m_log.session());
    SaveDialog2 = DataFiles::saveDialog(this);
    OpenDialog1 = DataFiles::openDialog(this);

    auto *connectGroup = new ToggleGroup(this);
    connectGroup->addButton(m_ui->COMCon);
    connectGroup->addButton(m_ui->USBCon);
    connectGroup->addButton(m_ui->ReadBtn);

    wireControls();
    new Shortcuts(this); // keyboard shortcuts for the window's buttons; the window owns them
    createHidController(std::move(hidBackend));
    FormCreate();

    m_timer1->start();
    m_conTimer->start();
    m_trecord->start();
}

TFCOMM::~TFCOMM()
{
    // The controller goes first, so the devices still held here are only unplugged and then
    // checked in without fresh objects replacing them.
    delete HidCtl;
    HidCtl = nullptr;
    for (int i = 0; i < m_ui->DevListBox->count(); ++i)
        delete static_cast<THidDevice *>(
            m_ui->DevListBox->item(i)->data(Qt::UserRole).value<void *>());
    closeLogTable();
    delete m_logModel; // it listens to the log, which goes before the window's children
}

// Fonts are given in pixels, which a .ui file cannot express; each control carries its design
// font as the property "pixelFont" = "family|pixels[|flags]" (b bold, i italic), where the family
// "display" is the meter's segment font.
void TFCOMM::applyDesignFonts()
{
    // The design's fonts are Windows fonts; Liberation Sans has Arial's metrics, so captions fit
    // the controls they were laid out for.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    QList<QWidget *> widgets = findChildren<QWidget *>();
    widgets.prepend(this);
    for (QWidget *w : std::as_const(widgets)) {
        const QVariant design = w->property("pixelFont");
        if (!design.isValid())
            continue;
        const QStringList parts = design.toString().split(u'|');
        QFont font = w->font();
        font.setFamily(parts.value(0) == u"display" ? assets::displayFontFamily() : parts.value(0));
        font.setPixelSize(parts.value(1).toInt());
        const QString flags = parts.value(2);
        font.setBold(flags.contains(u'b'));
        font.setItalic(flags.contains(u'i'));
        w->setFont(font);
    }
}

// The design's captions were measured in a narrower font than ours: with the design's small
// indicator most fit their boxes, and a caption that still would not (the sampling caption, whose
// blanks leave room for the interval box) is condensed just enough to fit.
void TFCOMM::fitCheckBoxCaptions()
{
    auto *style = new DesignCheckBoxStyle; // one for every check box; the window owns it
    style->setParent(this);
    const int indent = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, nullptr) +
                       style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, nullptr);
    for (QCheckBox *box : findChildren<QCheckBox *>()) {
        box->setStyle(style);
        const int room = box->width() - indent;
        const int needed = box->fontMetrics().horizontalAdvance(box->text());
        if (needed > room && room > 0) {
            QFont font = box->font();
            font.setStretch(qMax(50, 100 * room / needed));
            box->setFont(font);
        }
    }
}

// Every picture control shows the picture of its own name; the button glyphs likewise.
void TFCOMM::applyPictures()
{
    QIcon icon;
    icon.addPixmap(assets::picture(QStringLiteral("WindowIcon")));
    icon.addPixmap(assets::picture(QStringLiteral("WindowIcon32")));
    setWindowIcon(icon);

    const QList<QLabel *> pictures = {m_ui->CONok,   m_ui->CONokN, m_ui->LCDsend, m_ui->LCDREL,
                                      m_ui->EF,      m_ui->LCDpower, m_ui->TbFd,  m_ui->TbSx};
    for (QLabel *label : pictures)
        label->setPixmap(assets::picture(label->objectName()));
    const QList<QAbstractButton *> glyphButtons = {
        m_ui->RecordNew, m_ui->OpenDataFiles, m_ui->saveas, m_ui->BtPrint,    m_ui->BtNew,
        m_ui->BtSave,    m_ui->BtFirst,       m_ui->BTPrevious, m_ui->BtNext, m_ui->BTlast};
    for (QAbstractButton *button : glyphButtons) {
        const QPixmap glyph = assets::picture(button->objectName());
        button->setIcon(glyph);
        button->setIconSize(glyph.size());
    }

    // The banner runs while it is shown: QMovie pauses itself when the label is hidden.
    auto *banner = new QMovie(assets::picturePath(QStringLiteral("Image1")), QByteArray(), this);
    m_ui->Image1->setMovie(banner);
    banner->start();
}

void TFCOMM::wireControls()
{
    auto click = [this](QAbstractButton *b, void (TFCOMM::*h)()) {
        connect(b, &QAbstractButton::clicked, this, h);
    };
    auto panel = [this](ClickPanel *p, void (TFCOMM::*h)()) {
        connect(p, &ClickPanel::clicked, this, h);
    };
    auto item = [this](QAction *a, void (TFCOMM::*h)()) {
        connect(a, &QAction::triggered, this, h);
    };

    click(m_ui->BitBtn1, &TFCOMM::BitBtn1Click);
    panel(m_ui->BtExit, &TFCOMM::BtExitClick);
    connect(m_timer1, &QTimer::timeout, this, &TFCOMM::Timer1Timer);

    // Each selector panel selects the next port, so clicking the visible one steps the port on.
    panel(m_ui->BtCOM1, &TFCOMM::COM21Click);
    panel(m_ui->BtCOM2, &TFCOMM::COM31Click);
    panel(m_ui->BtCOM3, &TFCOMM::COM41Click);
    panel(m_ui->BtCOM4, &TFCOMM::COM11Click);
    item(m_ui->COM11, &TFCOMM::COM11Click);
    item(m_ui->COM21, &TFCOMM::COM21Click);
    item(m_ui->COM31, &TFCOMM::COM31Click);
    item(m_ui->COM41, &TFCOMM::COM41Click);
    panel(m_ui->BTCon, &TFCOMM::BTCon1Click);
    item(m_ui->START1, &TFCOMM::BTCon1Click);
    panel(m_ui->BtDiscon, &TFCOMM::BtDiscon1Click);
    item(m_ui->STOP1, &TFCOMM::BtDiscon1Click);
    click(m_ui->COMCon, &TFCOMM::COMConClick);

    click(m_ui->USBCon, &TFCOMM::USBConClick);
    click(m_ui->ReadBtn, &TFCOMM::ReadBtnClick);
    click(m_ui->SetFeature, &TFCOMM::SetFeatureClick);
    click(m_ui->ClearBtn, &TFCOMM::ClearBtnClick);
    connect(m_conTimer, &QTimer::timeout, this, &TFCOMM::ConTimerTimer);

    click(m_ui->BtFirst, &TFCOMM::BtFirstClick);
    item(m_ui->First, &TFCOMM::BtFirstClick);
    click(m_ui->BTPrevious, &TFCOMM::BTPreviousClick);
    item(m_ui->Previous, &TFCOMM::BTPreviousClick);
    click(m_ui->BtNext, &TFCOMM::BtNextClick);
    item(m_ui->Next, &TFCOMM::BtNextClick);
    click(m_ui->BTlast, &TFCOMM::BTlastClick);
    item(m_ui->Last, &TFCOMM::BTlastClick);
    click(m_ui->BtNew, &TFCOMM::BtNewClick);
    item(m_ui->New, &TFCOMM::BtNewClick);
    click(m_ui->BtSave, &TFCOMM::BtSaveClick);
    item(m_ui->Save, &TFCOMM::BtSaveClick);
    click(m_ui->BtFill, &TFCOMM::btFillClick);
    item(m_ui->Fill, &TFCOMM::FillClick);
    connect(m_ui->Maxrecord, &QLineEdit::textChanged, this, &TFCOMM::MaxrecordExit);
    panel(m_ui->TbFd, &TFCOMM::TbFdClick);
    panel(m_ui->TbSx, &TFCOMM::TbFdClick);
    connect(m_ui->ComboBox1, &QComboBox::activated, this, &TFCOMM::ComboBox1Change);

    connect(m_ui->Setmax, &QLineEdit::textChanged, this, &TFCOMM::SetmaxExit);
    click(m_ui->SetMaxB, &TFCOMM::SetmaxExit);
    connect(m_ui->SetMin, &QLineEdit::textChanged, this, &TFCOMM::SetMinExit);
    click(m_ui->SetMinB, &TFCOMM::SetMinExit);

    connect(m_trecord, &QTimer::timeout, this, &TFCOMM::TrecordTimer);
    connect(m_ui->RecordSITime, &QLineEdit::textChanged, this, &TFCOMM::RecordSITimeChange);
    click(m_ui->RecordNew, &TFCOMM::RecordNewClick);
    item(m_ui->New1, &TFCOMM::RecordNewClick);
    item(m_ui->N10001, &TFCOMM::N10001Click);
    item(m_ui->N50001, &TFCOMM::N50001Click);
    item(m_ui->N100001, &TFCOMM::N100001Click);
    item(m_ui->N500001, &TFCOMM::N500001Click);
    item(m_ui->N1000001, &TFCOMM::N1000001Click);
    item(m_ui->limitess, &TFCOMM::limitessClick);

    click(m_ui->OpenDataFiles, &TFCOMM::SpeedButton2Click);
    click(m_ui->saveas, &TFCOMM::saveasClick);
    item(m_ui->Save1, &TFCOMM::saveasClick);
    click(m_ui->BtPrint, &TFCOMM::BtPrintClick);

    auto *limitKeys = new KeyFilter(KeyFilter::Kind::Limit, this); // SetmaxKeyPress
    m_ui->Setmax->installEventFilter(limitKeys);
    m_ui->SetMin->installEventFilter(limitKeys);
    auto *digitKeys = new KeyFilter(KeyFilter::Kind::Digits, this); // RecordSITimeKeyPress
    m_ui->Maxrecord->installEventFilter(digitKeys);
    m_ui->RecordSITime->installEventFilter(digitKeys);

    connect(m_chart, &ReadingChart::pageButtonsChanged, this, &TFCOMM::applyPageButtons);
    connect(m_chart, &ReadingChart::fillChanged, this, [this](bool on) {
        m_ui->BtFill->setChecked(on);
        m_ui->Fill->setChecked(on);
    });
}

// ---- start-up

void TFCOMM::FormCreate()
{
    cs123();
    m_state.countRange = protocol::CountRange();
    m_limits = LimitAlarms(); // limits and extremes for 4000 counts, LastUnitText "113"
    // A log that cannot be opened has been reported; the meter link and the views still work,
    // readings are just not logged.
    openLogTable();
    m_log.NextRecordNo = 1;
    m_log.RecordLimit = 10000;
    resetChart();

    m_profile = resolveProfile(m_switches);
    switch (m_profile.receiveRoutine) {
    case ReceiveRoutine::None:
        break;
    case ReceiveRoutine::RECEIVE_COM_Data:
        m_serialAssembler = protocol::SerialFrameAssembler(protocol::SerialRoutine::RECEIVE_COM_Data);
        COMM2->setOnReceiveData([this](TSerialPortDriver *sender, const char *data, int size) {
            RECEIVE_COM_Data(sender, data, size);
        });
        break;
    case ReceiveRoutine::IndexedFrameData:
        m_serialAssembler = protocol::SerialFrameAssembler(protocol::SerialRoutine::IndexedFrameData);
        COMM2->setOnReceiveData([this](TSerialPortDriver *sender, const char *data, int size) {
            IndexedFrameData(sender, data, size);
        });
        break;
    }
    setWindowTitle(m_profile.caption);
    COMM2->setComPortSpeed(m_profile.serialSpeed == 19200 ? TComPortBaudRate::br19200
                                                          : TComPortBaudRate::br2400);
    if (m_profile.firstDigitThree)
        m_ui->LcdDa->setText(QStringLiteral("3"));
    m_state.countRange.CountCode = m_profile.countCode;

    // The 6000- and 3400-count profiles write their limit texts, whose change handling takes
    // the limits from them; the 4000-count layout texts already stand and change nothing.
    const QString code = m_state.countRange.CountCode;
    if (code == u"6" || code == u"34") {
        m_state.countRange = *protocol::CountRange::fromCode(code);
        const int full = m_state.countRange.CountFull;
        m_limits.presetForCount(full);
        m_ui->Setmax->setText(QString::number(full));
        m_ui->SetMin->setText(QString::number(-full));
        m_ui->MinText->setText(QString::number(full + 1));
        m_ui->MaxText->setText(QString::number(-(full + 1)));
    }
    m_chart->setValueRange(m_state.countRange.CountFull);
    KDsetup();
    KDrun(m_state.countRange.CountTenth);
}

void TFCOMM::cs123()
{
    m_log.cs123(QCoreApplication::applicationDirPath());
}

// "Tarvodb" lies in the current folder, beside the program in the build tree, or in the data
// folder of an installed program.
bool TFCOMM::openLogTable()
{
    const QString bin = QCoreApplication::applicationDirPath();
    const QString error = m_log.open({bin, QDir(bin).filePath(QStringLiteral("../share/vorlatt"))});
    if (!error.isEmpty()) {
        // Also on standard error, where a start without a desktop (or a packaging check) sees it.
        qWarning("vorlatt: the log table Tarvodb cannot be opened: %s", qPrintable(error));
        showError(error);
    }
    return error.isEmpty();
}

void TFCOMM::closeLogTable()
{
    m_log.close();
}

void TFCOMM::resetChart()
{
    BtNewClick();
}

void TFCOMM::ShowSeries(int index)
{
    m_chart->ShowSeries(index);
}

void TFCOMM::KDsetup()
{
    DialInputs in;
    in.panelWidth = m_ui->KD->width();
    in.panelHeight = m_ui->KD->height();
    in.CountCode = m_state.countRange.CountCode;
    in.CountFull = m_state.countRange.CountFull;
    in.CountTenth = m_state.countRange.CountTenth;
    in.CountFiftieth = m_state.countRange.CountFiftieth;
    in.MaxLimit = m_limits.state().MaxLimit;
    in.MinLimit = m_limits.state().MinLimit;
    in.SetMaxB = m_ui->SetMaxB->isChecked();
    in.SetMinB = m_ui->SetMinB->isChecked();
    m_dial.KDsetup(in);
    m_ui->KD1->update();
}

void TFCOMM::KDrun(int position)
{
    m_dial.KDrun(position);
    m_ui->KD1->update();
}

// ---- window and commands

void TFCOMM::BitBtn1Click()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Information"),
                    QStringLiteral("Are you ensure to exit the program") + QChar(0xFF1F),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() != QMessageBox::Yes)
        return;
    m_terminate();
    closeLogTable();
}

void TFCOMM::BtExitClick()
{
    closeLogTable();
    m_terminate();
}

void TFCOMM::Timer1Timer()
{
    m_ui->StatusPanel3->setText(clockText(QDateTime::currentDateTime()));
}

// The close box ends the program at once, without the exit question.
void TFCOMM::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    m_terminate();
}

void TFCOMM::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TFCOMM::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    FormResize();
    // The window manager adds its frame after the window is mapped; lay out again once it has.
    QTimer::singleShot(0, this, &TFCOMM::FormResize);
}

void TFCOMM::FormResize()
{
    const int w = kDesignOuterWidth;
    m_ui->BtExit->move(w - 80, m_ui->BtExit->y());
    m_ui->BTCon->move(w - 190, m_ui->BTCon->y());
    m_ui->BtDiscon->move(w - 190, m_ui->BtDiscon->y());
    m_ui->KD->resize(w - 303, m_ui->KD->height());
    m_ui->KD2->resize(w - 305, m_ui->KD->height() - 6);
    m_ui->Chtshow->move(m_ui->Chtshow->x(), m_ui->KD->height() + 34);
    // The dial's picture fills its panel inside the bevel, stretched.
    m_ui->KD1->setGeometry(m_ui->KD->rect().adjusted(Dial::kPanelBevel, Dial::kPanelBevel,
                                                     -Dial::kPanelBevel, -Dial::kPanelBevel));
}

// ---- serial connection control

void TFCOMM::selectPort(int n)
{
    QAction *items[] = {m_ui->COM11, m_ui->COM21, m_ui->COM31, m_ui->COM41};
    ClickPanel *panels[] = {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4};
    for (int i = 0; i < 4; ++i)
        items[i]->setChecked(i + 1 == n);
    for (int i = 0; i < 4; ++i)
        panels[i]->setVisible(i + 1 == n);
    COMM2->setComPort(static_cast<TComPortNumber>(n - 1));
}

void TFCOMM::COM11Click() { selectPort(1); }
void TFCOMM::COM21Click() { selectPort(2); }
void TFCOMM::COM31Click() { selectPort(3); }
void TFCOMM::COM41Click() { selectPort(4); }

void TFCOMM::BTCon1Click()
{
    connectSerial();
}

// A port that does not open is reported and leaves every control as it was: the link only
// looks connected when it is.
bool TFCOMM::connectSerial()
{
    if (!COMM2->OpenPort()) {
        const int port = static_cast<int>(COMM2->comPort()) + 1;
        m_ui->START1->setChecked(false); // a checkable item checks itself when chosen
        showError(portOpenFailureMessage(port, comPortDevice(port), COMM2->errorString(),
                                         COMM2->errorNumber()));
        return false;
    }
    m_ui->ComSetup1->setEnabled(false);
    m_ui->START1->setChecked(true);
    m_ui->START1->setEnabled(false);
    m_ui->STOP1->setEnabled(true);
    m_ui->STOP1->setChecked(false);
    m_ui->BTCon->hide();
    m_ui->BtDiscon->show();
    for (ClickPanel *p : {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4})
        p->setEnabled(false);
    return true;
}

void TFCOMM::BtDiscon1Click()
{
    m_ui->ComSetup1->setEnabled(true);
    m_ui->START1->setChecked(false);
    m_ui->START1->setEnabled(true);
    m_ui->STOP1->setEnabled(false);
    m_ui->STOP1->setChecked(true);
    COMM2->ClosePort();
    m_ui->BTCon->show();
    m_ui->BtDiscon->hide();
    for (ClickPanel *p : {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4})
        p->setEnabled(true);
}

void TFCOMM::COMConClick()
{
    if (m_ui->COMCon->isChecked()) {
        if (!connectSerial()) {
            m_ui->COMCon->setChecked(false);
            return;
        }
        m_ui->USBCon->hide();
    } else {
        m_ui->USBCon->show();
        m_ui->Image1->hide();
        BtDiscon1Click();
    }
}

// ---- frames

void TFCOMM::RECEIVE_COM_Data(TSerialPortDriver *, const char *DataPtr, int DataSize)
{
    const QList<protocol::CompletedFrame> frames =
        m_serialAssembler.receive(QByteArrayView(DataPtr, DataSize));
    for (const protocol::CompletedFrame &frame : frames) {
        m_frameHex = frame.frameHex;
        if (frame.decode)
            LcdDisplayUlmara();
    }
}

void TFCOMM::IndexedFrameData(TSerialPortDriver *, const char *DataPtr, int DataSize)
{
    const QList<protocol::CompletedFrame> frames =
        m_serialAssembler.receive(QByteArrayView(DataPtr, DataSize));
    if (!frames.isEmpty())
        m_frameHex = frames.last().frameHex;
}

void TFCOMM::findReplicaControls()
{
    static const char *const kBlanked[] = {
        "LcdDc1", "LcdV",   "LcdAC",   "LCDHold", "LCDHz",   "LCDBF", "LCDDI", "LCDFm",
        "LCDCS",  "LCDFS",  "LCDREL",  "LCDBATT", "LCDn",    "LCDohm", "LcdFH", "LcdAuto",
        "Labmax", "Labmin", "LcdRPM",  "LCDBT",   "LCDk",    "LCDM1", "LCDu",  "Lcdm",
        "LCDF",   "LCDA",   "EF",      "LCDsend"};
    for (const char *name : kBlanked)
        m_blankedControls.append(m_ui->Panel1->findChild<QWidget *>(QLatin1String(name)));
    for (const protocol::AnnunciatorBit &bit : protocol::annunciatorBits())
        m_annunciatorControls.append(m_ui->Panel1->findChild<QWidget *>(QLatin1String(bit.control)));
}

void TFCOMM::LcdDisplayUlmara()
{
    const std::optional<protocol::DecodedFrame> decoded =
        protocol::DecodedFrame::decode(m_frameHex, m_state.countRange.CountFull);
    if (!decoded)
        return;
    const protocol::DecodedFrame &f = *decoded;
    const auto &bits = protocol::annunciatorBits();

    // 1. link indicators
    m_ui->CONok->show();
    m_ui->CONokN->hide();
    m_ui->Image1->show();
    m_state.LinkWatchTicks = 0;

    // 3. a fresh reading on a blank display
    m_reading.AcDcText.clear();
    m_reading.RangeText.clear();
    m_reading.UnitText.clear();
    for (QWidget *control : std::as_const(m_blankedControls))
        control->hide();
    m_ui->Memo2->setVisible(m_ui->Data_display->isChecked());
    m_ui->LCDsend->show();

    if (f.failedStep == 4) {
        f.applyTo(m_reading);
        reportFrameError(f.error);
        return;
    }

    // 5, 6 and 10: annunciators
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i].step == 5 && f.has(bits[i].flag))
            m_annunciatorControls[i]->show();
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i].step == 6)
            m_annunciatorControls[i]->setVisible(f.has(bits[i].flag));
    // 8 and 9: sign and decimal point
    m_ui->LcdFH->setVisible(f.sign == u"-");
    m_ui->LcdP1->setVisible(f.point == 1);
    m_ui->LcdP2->setVisible(f.point == 2);
    m_ui->LcdP3->setVisible(f.point == 3);
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i].step == 10)
            m_annunciatorControls[i]->setVisible(f.has(bits[i].flag));

    // 11 and 12: the reading
    f.applyTo(m_reading);
    if (f.failedStep == 12) {
        reportFrameError(f.error);
        return;
    }

    CheckLimits();         // 13
    TrackPeaks(f.point);   // 14

    // 15: digits and the range of the unit shown
    m_ui->LcdDa->setText(f.d1);
    m_ui->LcdDb->setText(f.d2);
    m_ui->LcdDc->setText(f.d3);
    m_ui->LcdDd->setText(f.d4);
    m_ui->PBar2->setMaximum(f.barMaximum);
    m_state.countRange = f.countRange;
    KDsetup();
    KDrun(m_state.countRange.CountTenth);
    KDrun(f.needleValue);

    m_frameErrors.decoded();
    INDataToTable();                      // 16
    m_ui->PBar2->setValue(f.barPosition); // 17
    PlotReading(f.chartValue);            // 18
}

// The gate lets one box through per run of failures (see FrameErrorGate).
void TFCOMM::reportFrameError(const QString &message)
{
    if (m_frameErrors.failed())
        showErrorWhileReading(message, [this] { m_frameErrors.boxClosed(); });
}

// Errors found while a frame is handled: the box does not block, so the driver keeps polling
// behind it and good frames keep the display live. `closed` runs when the user closes it.
void TFCOMM::showErrorWhileReading(const QString &message, std::function<void()> closed)
{
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vorlatt"), message,
                                QMessageBox::Ok, this);
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, [box, closed = std::move(closed)] {
        closed();
        box->deleteLater();
    });
    box->show();
}

void TFCOMM::CheckLimits()
{
    if (m_limits.CheckLimits(m_reading.NumericValue, m_ui->SetMaxB->isChecked(),
                             m_ui->SetMinB->isChecked())) {
        QApplication::beep();
        m_ui->oltext->show();
    } else {
        m_ui->oltext->hide();
    }
}

void TFCOMM::TrackPeaks(int pointPosition)
{
    const LimitAlarms::PeakCaptions shown = m_limits.TrackPeaks(
        {m_reading.NumericValue, m_reading.ValueText, m_reading.UnitText, pointPosition},
        m_state.countRange.CountFull);
    if (shown.rangeChanged) {
        ShowSeries(m_ui->BtFill->isChecked() ? 0 : 1);
        BtNewClick();
    }
    m_ui->MaxText->setText(shown.MaxText);
    m_ui->MinText->setText(shown.MinText);
    m_ui->MaxTextU->setText(shown.UnitText);
    m_ui->MinTextU->setText(shown.UnitText);
}

void TFCOMM::INDataToTable()
{
    if (m_logErrorShown)
        return; // while the log's error is shown, readings are not logged
    const ReadingLog::Outcome outcome =
        m_log.INDataToTable(m_reading, {m_ui->RepeatSet->isChecked(), m_ui->RecordSI->isChecked(),
                                        m_ui->RecordSITime->text()});
    if (!outcome.error.isEmpty())
        reportLogError(outcome.error);
}

// A log that cannot take readings would fail at every frame: the failure is shown once, until
// another file, New or a new interval gives the log a fresh start.
void TFCOMM::reportLogError(const QString &message)
{
    if (message == m_lastLogError)
        return;
    m_lastLogError = message;
    m_logErrorShown = true;
    showErrorWhileReading(message, [this] { m_logErrorShown = false; });
}

void TFCOMM::PlotReading(int chartValue)
{
    m_chart->PlotReading(chartValue);
}

// ---- USB connection control

void TFCOMM::createHidController(std::unique_ptr<HidBackend> backend)
{
    if (!backend)
        backend = THidDeviceController::systemBackend();
    HidCtl = new THidDeviceController(std::move(backend), this);
    // In this order: the first device-list step, run when OnDeviceChange is assigned, already
    // reports arrivals... and the data-error handler reaches the devices listed by then.
    HidCtl->SetOnArrival({this, &TFCOMM::HidCtlArrival});
    HidCtl->SetOnEnumerate([this](THidDevice *d, qint32 i) { return HidCtlEnumerate(d, i); });
    HidCtl->SetOnDeviceChange({this, &TFCOMM::HidCtlDeviceChange});
    HidCtl->SetOnDeviceDataError({this, &TFCOMM::HidCtlDeviceDataError});
    HidCtl->SetOnRemoval({this, &TFCOMM::HidCtlRemoval});
}

THidDevice *TFCOMM::selectedHidDevice() const
{
    const QListWidgetItem *item = m_ui->DevListBox->currentItem();
    if (m_ui->DevListBox->count() == 0 || !item || !item->isSelected())
        return nullptr;
    return static_cast<THidDevice *>(item->data(Qt::UserRole).value<void *>());
}

void TFCOMM::addHistoryLine(const QString &line)
{
    QListWidget *history = m_ui->HistoryListBox;
    history->addItem(line);
    while (history->count() > usbcable::kHistoryLines)
        delete history->takeItem(0);
    history->setCurrentRow(history->count() - 1);
}

void TFCOMM::HidCtlDeviceChange(THidDeviceController *)
{
    const bool linkOn = m_ui->USBCon->isChecked();
    m_ui->ReadBtn->setChecked(false);
    ReadBtnClick();

    QListWidget *list = m_ui->DevListBox;
    for (int i = 0; i < list->count(); ++i)
        delete static_cast<THidDevice *>(list->item(i)->data(Qt::UserRole).value<void *>());
    list->clear();
    CurrentHidDevice = nullptr;

    HidCtl->EnumerateDevices();
    QStringList descriptions;
    for (int i = 0; i < list->count(); ++i)
        descriptions << list->item(i)->text();
    if (const int cable = usbcable::pickCable(descriptions); cable >= 0)
        list->setCurrentRow(cable);

    // Another device coming or going must not silently stop a running link: the cable, checked
    // out afresh, gets its report handler again; a cable that is gone ends the link.
    if (!linkOn)
        return;
    THidDevice *cable = selectedHidDevice();
    if (cable && cable->ReadWriteAccess()) {
        CurrentHidDevice = cable;
        installUsbReportHandler(cable);
        return;
    }
    m_ui->USBCon->setChecked(false);
    endUsbLink();
    // Shown once the controller's notification is over, not from inside it.
    QMetaObject::invokeMethod(
        this, [this] { showUsbInformation(usbcable::kNotConnectedMessage); }, Qt::QueuedConnection);
}

bool TFCOMM::HidCtlEnumerate(THidDevice *HidDev, qint32 Idx)
{
    auto *item = new QListWidgetItem(usbcable::DeviceDescription(HidDev), m_ui->DevListBox);
    item->setData(Qt::UserRole,
                  QVariant::fromValue(static_cast<void *>(HidCtl->CheckOutDevice(Idx))));
    return true;
}

void TFCOMM::HidCtlArrival(THidDevice *HidDev)
{
    addHistoryLine(QStringLiteral("Arrival of ") + usbcable::DeviceDescription(HidDev));
}

void TFCOMM::HidCtlRemoval(THidDevice *HidDev)
{
    addHistoryLine(QStringLiteral("Removal of ") + usbcable::DeviceDescription(HidDev));
}

void TFCOMM::HidCtlDeviceDataError(THidDevice *, quint32 Error)
{
    addHistoryLine(usbcable::readErrorLine(HidCtl->backend()->errorText(Error), Error));
}

void TFCOMM::ReadBtnClick()
{
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice)
        return;
    if (!CurrentHidDevice->ReadWriteAccess()) {
        m_ui->ReadBtn->setChecked(false);
        return;
    }
    CurrentHidDevice->SetOnData({});
}

void TFCOMM::SetFeatureClick()
{
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice) {
        showUsbInformation(usbcable::kNotConnectedMessage);
        m_ui->USBCon->setChecked(false);
        return;
    }
    const QByteArray report = usbcable::LineSpeedReport(quint32(m_profile.usbCableSpeed));
    CurrentHidDevice->SendFeatureReport(reinterpret_cast<const quint8 *>(report.constData()),
                                        int(report.size()));
    addHistoryLine(usbcable::speedHistoryLine(report));
}

void TFCOMM::USBConClick()
{
    const bool starting = m_ui->USBCon->isChecked();
    ReadBtnClick();
    SetFeatureClick();
    m_state.UsbIdleReports = 0;
    m_hidAssembler.resetUsbIdleReports();
    CurrentHidDevice = selectedHidDevice();
    if (!CurrentHidDevice) {
        // No cable: the link is not running, so the serial controls must not stay hidden.
        endUsbLink();
        return;
    }
    if (!CurrentHidDevice->ReadWriteAccess()) {
        m_ui->USBCon->setChecked(false);
        if (starting)
            QMessageBox::warning(this, QStringLiteral("Vorlatt"),
                                 usbcable::noAccessMessage(CurrentHidDevice->PnPInfo().DevicePath));
        return;
    }
    if (m_ui->USBCon->isChecked()) {
        for (ClickPanel *p : {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4})
            p->hide();
        m_ui->COMCon->hide();
        installUsbReportHandler(CurrentHidDevice);
    } else {
        CurrentHidDevice->SetOnData({});
        endUsbLink();
    }
}

void TFCOMM::installUsbReportHandler(THidDevice *device)
{
    using protocol::HidRoutine;
    THidDataEvent handler;
    HidRoutine routine = HidRoutine::HidReadingFrameData;
    switch (m_profile.usbReportRoutine) {
    case UsbReportRoutine::HidReadingFrameData:
        handler = {this, &TFCOMM::HidReadingFrameData};
        break;
    case UsbReportRoutine::HidIndexedFrameData:
        handler = {this, &TFCOMM::HidIndexedFrameData};
        routine = HidRoutine::HidIndexedFrameData;
        break;
    case UsbReportRoutine::HidRotatedNibbleData:
        handler = {this, &TFCOMM::HidRotatedNibbleData};
        routine = HidRoutine::HidRotatedNibbleData;
        break;
    case UsbReportRoutine::None:
        return;
    }
    if (m_hidAssembler.routine() != routine)
        m_hidAssembler = protocol::HidFrameAssembler(routine);
    device->SetOnData(handler);
}

// The controls as they are without a USB link: the port selector (the panel of the port in use,
// as everywhere else) and "COM Connect" shown, the banner hidden.
void TFCOMM::endUsbLink()
{
    if (m_ui->COMCon->isHidden()) {
        selectPort(int(COMM2->comPort()) + 1);
        m_ui->COMCon->show();
    }
    m_ui->Image1->hide();
}

void TFCOMM::HidReadingFrameData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::HidIndexedFrameData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::HidRotatedNibbleData(THidDevice *, quint8 ReportID, const quint8 *Data, quint16 Size)
{
    handleHidReport(ReportID, Data, Size);
}

void TFCOMM::handleHidReport(quint8 reportId, const quint8 *data, quint16 size)
{
    const protocol::HidReportOutcome outcome =
        m_hidAssembler.report(reportId, QByteArrayView(data, size));
    m_state.UsbIdleReports = m_hidAssembler.usbIdleReports();
    if (!outcome.historyLine.isEmpty())
        addHistoryLine(outcome.historyLine);
    if (outcome.usbText)
        m_ui->USBtxt->setText(*outcome.usbText);
    if (outcome.frame) {
        m_frameHex = outcome.frame->frameHex;
        if (outcome.frame->decode)
            LcdDisplayUlmara();
    }
}

void TFCOMM::endSilentUsbLink()
{
    m_state.UsbIdleReports = 0;
    m_hidAssembler.resetUsbIdleReports();
    m_ui->USBCon->setChecked(false);
    if (CurrentHidDevice)
        CurrentHidDevice->SetOnData({});
    endUsbLink();
    showUsbInformation(usbcable::kMeterNotReadyMessage);
}

void TFCOMM::showUsbInformation(const QString &text)
{
    QMessageBox::information(this, QStringLiteral("Information"), text);
}

void TFCOMM::ClearBtnClick()
{
    m_ui->HistoryListBox->clear();
}
void TFCOMM::ConTimerTimer()
{
    const LinkWatchdog::Tick t =
        LinkWatchdog::ConTimerTick(m_state.LinkWatchTicks, m_state.UsbIdleReports);
    if (t.endUsbLink)
        endSilentUsbLink();
    if (t.darken) {
        m_ui->CONok->hide();
        m_ui->CONokN->show();
    }
}

// ---- trend chart

void TFCOMM::applyPageButtons()
{
    const PageButtons &b = m_chart->pageButtons();
    m_ui->BtFirst->setEnabled(b.BtFirst);
    m_ui->BTPrevious->setEnabled(b.BTPrevious);
    m_ui->BtNext->setEnabled(b.BtNext);
    m_ui->BTlast->setEnabled(b.BTlast);
    m_ui->Bt10->setText(b.Bt10);
}

void TFCOMM::BtFirstClick() { m_chart->First(); }
void TFCOMM::BTPreviousClick() { m_chart->Previous(); }
void TFCOMM::BtNextClick() { m_chart->Next(); }
void TFCOMM::BTlastClick() { m_chart->Last(); }

void TFCOMM::BtNewClick()
{
    m_ui->ComboBox1->setCurrentIndex(0);
    m_chart->New();
}

void TFCOMM::BtSaveClick()
{
    const QString path = ReadingChart::defaultSavePath();
    const QString error = m_chart->Save(path);
    if (!error.isEmpty()) {
        showError(error);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Vorlatt"), ReadingChart::savedMessage(path));
}

void TFCOMM::btFillClick() { m_chart->btFillClick(m_ui->BtFill->isChecked()); }
void TFCOMM::FillClick() { m_chart->FillClick(); }

void TFCOMM::MaxrecordExit()
{
    const QString error = m_chart->MaxrecordExit(m_ui->Maxrecord->text());
    if (!error.isEmpty())
        showError(error);
}

void TFCOMM::TbFdClick()
{
    const ChartEnlarge::Result r = m_enlarge.TbFdClick(m_ui->Chtshow->geometry(), frameGeometry().size());
    m_ui->TbFd->setVisible(!r.enlarged);
    m_ui->TbSx->setVisible(r.enlarged);
    m_ui->Chtshow->setGeometry(r.bounds);
    m_ui->Chtshow->raise();
    m_chartView->setGeometry(m_ui->Chtshow->contentsRect());
}

void TFCOMM::ComboBox1Change()
{
    ShowSeries(m_ui->ComboBox1->currentIndex());
}

void TFCOMM::SetmaxExit()
{
    applyLimitChange(m_limits.SetmaxExit(m_ui->Setmax->text()));
}

void TFCOMM::SetMinExit()
{
    applyLimitChange(m_limits.SetMinExit(m_ui->SetMin->text()));
}

// A text that is no whole number is reported and keeps the limit and the dial face as they were.
void TFCOMM::applyLimitChange(const LimitAlarms::LimitChange &change)
{
    if (!change.ok) {
        showError(change.error);
        return;
    }
    if (change.redrawDial)
        KDsetup();
}

// The general error report: what a handler could not do, in a modal box titled with the
// application's name.
void TFCOMM::showError(const QString &message)
{
    QMessageBox::critical(this, QStringLiteral("Vorlatt"), message);
}

void TFCOMM::TrecordTimer()
{
    m_log.TrecordTimer(m_ui->RecordSI->isChecked());
}

void TFCOMM::RecordSITimeChange()
{
    m_lastLogError.clear();
    const QString error = m_log.RecordSITimeChange(m_ui->RecordSITime->text());
    if (!error.isEmpty())
        showError(error);
}

// The box comes first and cannot cancel; readings logged while it is open go with the rest.
void TFCOMM::RecordNewClick()
{
    QMessageBox::information(this, QStringLiteral("Information"),
                             QStringLiteral(" Record deleted "));
    m_lastLogError.clear();
    const QString error = m_log.RecordNew();
    if (!error.isEmpty())
        showError(error);
}

void TFCOMM::setRecordLimit(int item)
{
    QAction *const items[] = {m_ui->N10001,  m_ui->N50001,   m_ui->N100001,
                              m_ui->N500001, m_ui->N1000001, m_ui->limitess};
    for (int i = 0; i < 6; ++i)
        items[i]->setChecked(i == item);
    m_log.setLimit(ReadingLog::kLimitItems[std::size_t(item)]);
}

void TFCOMM::N10001Click() { setRecordLimit(0); }
void TFCOMM::N50001Click() { setRecordLimit(1); }
void TFCOMM::N100001Click() { setRecordLimit(2); }
void TFCOMM::N500001Click() { setRecordLimit(3); }
void TFCOMM::N1000001Click() { setRecordLimit(4); }
void TFCOMM::limitessClick() { setRecordLimit(5); }

void TFCOMM::SpeedButton2Click()
{
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    const QString error = m_log.openOldFile(OpenDialog1->selectedFiles().value(0));
    if (!error.isEmpty())
        showError(error);
    else
        m_lastLogError.clear();
}

void TFCOMM::saveasClick()
{
    // A fresh dialog in the last folder: it always opens with an empty name.
    const QString folder = SaveDialog2->directory().absolutePath();
    delete SaveDialog2;
    SaveDialog2 = DataFiles::saveDialog(this);
    SaveDialog2->setDirectory(folder);
    if (SaveDialog2->exec() != QDialog::Accepted)
        return;
    const QString path = SaveDialog2->selectedFiles().value(0);
    if (DataFiles::isParadoxName(path)) {
        const QString error = m_dataFiles->SaveTableAsDb(m_log.table(), path);
        if (!error.isEmpty())
            showError(error);
        return;
    }
    const DataFiles::TextResult saved = m_dataFiles->SaveTableAsText(m_log.table(), path);
    if (saved.kind == DataFiles::TextResult::Kind::EngineError)
        showError(saved.message);
    else
        QMessageBox::information(this, QStringLiteral("Vorlatt"), saved.message);
}

void TFCOMM::BtPrintClick()
{
    const LogReport report(m_log.table());
    ReportPreview preview(report, this);
    preview.exec();
}
