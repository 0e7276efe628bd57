// The picture, zoomed and panned: the wheel zooms about the cursor, a drag
// pans, and magnified pixels are drawn as exact squares.
#pragma once

#include <QImage>
#include <QPointF>
#include <QWidget>

namespace fastlic::viewer {

class ImageView : public QWidget {
    Q_OBJECT
public:
    explicit ImageView(QWidget* parent = nullptr);

    // A picture of another size is shown whole, at 1:1 where it fits and
    // reduced where it does not; one of the same size keeps the view.
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    double scale() const { return scale_; }

    // The pixel (row, column) under a point of the widget, or (-1, -1).
    QPoint pixelAt(const QPointF& at) const;
    // The centre of a pixel in the widget's coordinates.
    QPointF centreOf(int row, int col) const;

public slots:
    void fit();
    void actualSize();
    void zoomBy(double factor);

signals:
    void hovered(int row, int col);  // -1, -1: outside the picture

protected:
    void paintEvent(QPaintEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void leaveEvent(QEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    void zoomAbout(const QPointF& at, double factor);
    void centre();

    QImage image_;
    double scale_ = 1.0;
    QPointF origin_;  // the picture's top-left corner in the widget
    QPointF dragFrom_;
    // How the scale follows the widget's size until zoomed by hand.
    enum class Follow { whole, fit, none } follow_ = Follow::whole;
    void follow();
};

}  // namespace fastlic::viewer
