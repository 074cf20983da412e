#include "boxanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QPushButton>

BoxAnswerer::BoxAnswerer()
{
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
}

QStringList BoxAnswerer::titles() const
{
    QStringList result;
    for (const Box &box : m_boxes)
        result << box.title;
    return result;
}

void BoxAnswerer::poll()
{
    QPointer<QMessageBox> shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!shown || m_inHook || !shown->isVisible())
        return;
    Box box;
    box.title = shown->windowTitle();
    box.text = shown->text();
    box.icon = shown->icon();
    box.textFormat = shown->textFormat();
    box.buttons = shown->standardButtons();
    box.parent = shown->parentWidget();
    if (QPushButton *def = shown->defaultButton())
        box.defaultButton = shown->standardButton(def);
    m_boxes.append(box);
    if (m_hook) {
        // The hook may turn the event loop; this box must not be recorded twice meanwhile.
        m_inHook = true;
        m_hook(box);
        m_inHook = false;
        if (!shown)
            return;
    }
    QAbstractButton *button = nullptr;
    if (m_answers.contains(box.title))
        button = shown->button(m_answers.value(box.title));
    if (!button)
        button = shown->defaultButton();
    if (!button)
        button = shown->escapeButton();
    if (button)
        button->click();
    else
        shown->reject();
}

int runApplication(const std::function<void()> &start, int timeoutMs)
{
    QTimer::singleShot(0, start);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        QCoreApplication::exit(99);
    });
    guard.start(timeoutMs);
    return QCoreApplication::exec();
}
