#include "ReplicaPanel.h"

#include "ui_FCOMM.h"

using protocol::Annunciator;

const QList<ReplicaPanel::Control> &ReplicaPanel::annunciatorControls()
{
    static const QList<Control> kControls = {
        {Annunciator::AutoRange, "LcdAuto", When::ByFlag},
        {Annunciator::Dc, "LcdDc1", When::ShownIfSet},
        {Annunciator::Ac, "LcdAC", When::ShownIfSet},
        {Annunciator::Relative, "LCDREL", When::ShownIfSet},
        {Annunciator::Hold, "LCDHold", When::ShownIfSet},
        {Annunciator::Maximum, "Labmax", When::ShownIfSet},
        {Annunciator::Minimum, "Labmin", When::ShownIfSet},
        {Annunciator::Battery, "LCDBATT", When::ShownIfSet},
        {Annunciator::Nano, "LCDn", When::ByFlagAfterPoint},
        {Annunciator::Micro, "LCDu", When::ByFlagAfterPoint},
        {Annunciator::Milli, "Lcdm", When::ByFlagAfterPoint},
        {Annunciator::Kilo, "LCDk", When::ByFlagAfterPoint},
        {Annunciator::Mega, "LCDM1", When::ByFlagAfterPoint},
        {Annunciator::Beeper, "LCDFm", When::ShownIfSet},
        {Annunciator::Diode, "LCDDI", When::ShownIfSet},
        {Annunciator::Percent, "LCDBF", When::ShownIfSet},
        {Annunciator::Volt, "LcdV", When::ShownIfSet},
        {Annunciator::Ampere, "LCDA", When::ByFlagAfterPoint},
        {Annunciator::Ohm, "LCDohm", When::ShownIfSet},
        {Annunciator::Hertz, "LCDHz", When::ShownIfSet},
        {Annunciator::Farad, "LCDF", When::ShownIfSet},
        {Annunciator::Celsius, "LCDCS", When::ShownIfSet},
        {Annunciator::Fahrenheit, "LCDFS", When::ShownIfSet},
    };
    return kControls;
}

ReplicaPanel::ReplicaPanel(Ui::FCOMM &ui) : m_ui(ui)
{
    // Blanked at every frame: every annunciator, the sign, and the marks no frame sets.
    static const char *const kBlanked[] = {
        "LcdDc1", "LcdV",   "LcdAC",  "LCDHold", "LCDHz", "LCDBF", "LCDDI", "LCDFm",
        "LCDCS",  "LCDFS",  "LCDREL", "LCDBATT", "LCDn",  "LCDohm", "LcdFH", "LcdAuto",
        "Labmax", "Labmin", "LcdRPM", "LCDBT",   "LCDk",  "LCDM1", "LCDu",  "Lcdm",
        "LCDF",   "LCDA",   "EF",     "LCDsend"};
    for (const char *name : kBlanked)
        m_blanked.append(m_ui.Panel1->findChild<QWidget *>(QLatin1String(name)));
    for (const Control &c : annunciatorControls())
        m_flagControls.append(m_ui.Panel1->findChild<QWidget *>(QLatin1String(c.name)));

    // The digits and the sign are text; the decimal points are filled shapes; the bar graph
    // draws its filled part in the highlight colour.
    for (QWidget *text : {static_cast<QWidget *>(m_ui.LcdFH), static_cast<QWidget *>(m_ui.LcdDa),
                          static_cast<QWidget *>(m_ui.LcdDb), static_cast<QWidget *>(m_ui.LcdDc),
                          static_cast<QWidget *>(m_ui.LcdDd)})
        m_greyed.append({text, text->palette(), QPalette::WindowText});
    for (QWidget *point : {m_ui.LcdP1, m_ui.LcdP2, m_ui.LcdP3})
        m_greyed.append({point, point->palette(), QPalette::Window});
    m_greyed.append({m_ui.PBar2, m_ui.PBar2->palette(), QPalette::Highlight});
}

void ReplicaPanel::showLinkAlive()
{
    m_ui.CONok->show();
    m_ui.CONokN->hide();
    m_ui.Image1->show();
}

void ReplicaPanel::blank(bool showRawData)
{
    for (QWidget *control : std::as_const(m_blanked))
        control->hide();
    m_ui.Memo2->setVisible(showRawData);
    m_ui.LCDsend->show();
}

void ReplicaPanel::showFlags(const protocol::DecodedFrame &f)
{
    const QList<Control> &controls = annunciatorControls();
    auto apply = [&](When when) {
        for (qsizetype i = 0; i < controls.size(); ++i) {
            if (controls[i].when != when)
                continue;
            if (when == When::ShownIfSet) {
                if (f.has(controls[i].flag))
                    m_flagControls[i]->show();
            } else {
                m_flagControls[i]->setVisible(f.has(controls[i].flag));
            }
        }
    };
    apply(When::ShownIfSet);
    apply(When::ByFlag);
    m_ui.LcdFH->setVisible(f.sign == u"-");
    m_ui.LcdP1->setVisible(f.point == 1);
    m_ui.LcdP2->setVisible(f.point == 2);
    m_ui.LcdP3->setVisible(f.point == 3);
    apply(When::ByFlagAfterPoint);
}

void ReplicaPanel::showDigits(const protocol::DecodedFrame &f)
{
    m_ui.LcdDa->setText(f.d1);
    m_ui.LcdDb->setText(f.d2);
    m_ui.LcdDc->setText(f.d3);
    m_ui.LcdDd->setText(f.d4);
    m_ui.PBar2->setMaximum(f.barMaximum);
}

void ReplicaPanel::showBar(int position)
{
    m_ui.PBar2->setValue(position);
}

void ReplicaPanel::showStale(bool stale)
{
    for (const Greyed &g : std::as_const(m_greyed)) {
        QPalette pal = g.live;
        if (stale)
            pal.setColor(g.role, staleColour());
        g.control->setPalette(pal);
    }
}
