#pragma once

#include "hostkit_export.h"

#include <QFrame>
#include <QHash>

class QAction;
class QHBoxLayout;
class QLabel;
class QToolButton;

namespace HostKit
{
// An inline message strip: an icon and a background that tell the kind of message, the text,
// one button per action added with QWidget::addAction(), and a close button.
class HOSTKIT_EXPORT MessageBanner : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
    Q_PROPERTY(MessageType messageType READ messageType WRITE setMessageType)
    Q_PROPERTY(bool wordWrap READ wordWrap WRITE setWordWrap)
    Q_PROPERTY(bool closeButtonVisible READ isCloseButtonVisible WRITE setCloseButtonVisible)

public:
    enum MessageType {
        Positive,
        Information,
        Warning,
        Error,
    };
    Q_ENUM(MessageType)

    explicit MessageBanner(QWidget *parent = nullptr);
    explicit MessageBanner(const QString &text, QWidget *parent = nullptr);
    ~MessageBanner() override;

    [[nodiscard]] QString text() const;
    void setText(const QString &text);

    [[nodiscard]] MessageType messageType() const;
    void setMessageType(MessageType type);

    [[nodiscard]] bool wordWrap() const;
    void setWordWrap(bool wordWrap);

    [[nodiscard]] bool isCloseButtonVisible() const;
    void setCloseButtonVisible(bool visible);

Q_SIGNALS:
    void closed();

protected:
    void actionEvent(QActionEvent *event) override;

private:
    void addActionButton(QAction *action, QAction *before);
    void removeActionButton(QAction *action);
    void updateAppearance();

    MessageType mMessageType = Information;
    QHBoxLayout *mLayout = nullptr;
    QLabel *mIconLabel = nullptr;
    QLabel *mTextLabel = nullptr;
    QToolButton *mCloseButton = nullptr;
    QHash<QAction *, QToolButton *> mActionButtons;
};
} // namespace HostKit
