#pragma once

#include <QList>
#include <QRectF>
#include <QString>
#include <QWidget>

// A laptop keyboard with the Fn key highlighted and an arrow pointing at it,
// shown while the user is about to make the first dictation.
class FnKeyboardHintView : public QWidget {
    Q_OBJECT
public:
    struct Key {
        QString label;
        QRectF rect; // widget coordinates, y down
        int row = 0;
        bool highlighted = false;
    };

    explicit FnKeyboardHintView(QWidget *parent = nullptr);

    QSize sizeHint() const override { return { 620, 170 }; }

    // The keyboard body and every key for a view of `size`.
    static QRectF bodyRect(QSizeF size);
    static QList<Key> keyLayout(QSizeF size);

protected:
    void paintEvent(QPaintEvent *event) override;
};
