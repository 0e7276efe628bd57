#include "drivers/viewer/image_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace fastlic::viewer {

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(200, 200);
    setAutoFillBackground(false);
}

void ImageView::setImage(const QImage& image) {
    const bool resized = image.size() != image_.size();
    image_ = image;
    if (resized) {
        follow_ = Follow::whole;
        follow();
    }
    update();
}

QPoint ImageView::pixelAt(const QPointF& at) const {
    const QPointF p = (at - origin_) / scale_;
    const int col = static_cast<int>(std::floor(p.x())), row = static_cast<int>(std::floor(p.y()));
    if (image_.isNull() || row < 0 || col < 0 || row >= image_.height() || col >= image_.width()) return {-1, -1};
    return {row, col};
}

QPointF ImageView::centreOf(int row, int col) const {
    return origin_ + QPointF(col + 0.5, row + 0.5) * scale_;
}

void ImageView::fit() {
    follow_ = Follow::fit;
    follow();
}

void ImageView::follow() {
    if (image_.isNull() || follow_ == Follow::none) return;
    scale_ = std::min(static_cast<double>(width()) / image_.width(), static_cast<double>(height()) / image_.height());
    if (follow_ == Follow::whole) scale_ = std::min(scale_, 1.0);
    centre();
}

void ImageView::actualSize() {
    follow_ = Follow::none;
    scale_ = 1.0;
    centre();
}

void ImageView::zoomBy(double factor) { zoomAbout(QPointF(width() / 2.0, height() / 2.0), factor); }

void ImageView::centre() {
    origin_ = QPointF((width() - image_.width() * scale_) / 2.0, (height() - image_.height() * scale_) / 2.0);
    update();
}

void ImageView::zoomAbout(const QPointF& at, double factor) {
    follow_ = Follow::none;
    const double next = std::clamp(scale_ * factor, 1.0 / 64, 256.0);
    origin_ = at - (at - origin_) * (next / scale_);
    scale_ = next;
    update();
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(48, 48, 48));
    if (image_.isNull()) return;
    // Magnified: each pixel an exact square; reduced: smoothed.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, scale_ < 1.0);
    painter.translate(origin_);
    painter.scale(scale_, scale_);
    painter.drawImage(QPointF(0, 0), image_);
}

void ImageView::wheelEvent(QWheelEvent* event) {
    zoomAbout(event->position(), std::pow(1.25, event->angleDelta().y() / 120.0));
    event->accept();
}

void ImageView::mousePressEvent(QMouseEvent* event) { dragFrom_ = event->position(); }

void ImageView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        origin_ += event->position() - dragFrom_;
        dragFrom_ = event->position();
        follow_ = Follow::none;
        update();
    }
    const QPoint p = pixelAt(event->position());
    emit hovered(p.x(), p.y());
}

void ImageView::leaveEvent(QEvent*) { emit hovered(-1, -1); }

void ImageView::resizeEvent(QResizeEvent*) { follow(); }

}  // namespace fastlic::viewer
