#pragma once

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label (the window's logo and banner) that opens a web address in the browser when clicked.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString url() const { return m_url; }

protected:
    // Any button opens the address; the press is not handed on to QLabel.
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_url;
};
