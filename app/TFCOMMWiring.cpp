// Which control, menu item and timer of the window calls which handler: the window's
// switchboard, kept apart from the handlers themselves.
#include "ClickPanel.h"
#include "SerialConnection.h"
#include "TFCOMM.h"
#include "ui_FCOMM.h"

#include "views/KeyFilter.h"
#include "views/ReadingChart.h"

#include <QAction>
#include <QTimer>

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
    ClickPanel *const selectors[] = {m_ui->BtCOM1, m_ui->BtCOM2, m_ui->BtCOM3, m_ui->BtCOM4};
    for (int port = 1; port <= 4; ++port)
        connect(selectors[port - 1], &ClickPanel::clicked, this,
                [this, port] { selectPort(serialconnection::nextPort(port)); });
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
