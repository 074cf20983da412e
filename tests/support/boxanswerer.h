#pragma once

#include <QList>
#include <QMap>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>

// Answers the application's modal message boxes from the event loop, as a user would, by polling
// QApplication::activeModalWidget() every 10 ms while it exists. Each box is recorded, handed to the hook
// (which may act while the box's own event loop runs) and then answered: with the button chosen for its
// title, else with its default button, else with its escape button.
class BoxAnswerer
{
public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        Qt::TextFormat textFormat = Qt::AutoText;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton; // NoButton: none set
        QWidget *parent = nullptr; // the box's parent widget when it was shown, for comparing only
    };

    BoxAnswerer();

    void answer(const QString &title, QMessageBox::StandardButton button) { m_answers[title] = button; }
    void setHook(std::function<void(const Box &)> hook) { m_hook = std::move(hook); }
    QList<Box> boxes() const { return m_boxes; }
    QStringList titles() const;

private:
    void poll();

    QTimer m_timer;
    QMap<QString, QMessageBox::StandardButton> m_answers;
    std::function<void(const Box &)> m_hook;
    QList<Box> m_boxes;
    bool m_inHook = false;
};

// Runs the application's event loop as main() does, with start() queued as its first event, and returns
// its exit code; 99 when nothing ended it within timeoutMs (an open box is closed first).
int runApplication(const std::function<void()> &start, int timeoutMs = 30000);
