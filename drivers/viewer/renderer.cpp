#include "drivers/viewer/renderer.h"

#include <chrono>

#include "drivers/viewer/command_line.h"

namespace fastlic::viewer {

Renderer::Renderer(QObject* parent) : QObject(parent) {
    qRegisterMetaType<std::shared_ptr<const Picture>>();
}

Renderer::~Renderer() {
    if (cancel_) cancel_->store(true);
    if (worker_.joinable()) worker_.join();
}

void Renderer::request(std::shared_ptr<const LoadedField> field, const LicParams& params,
                       const RenderOptions& image) {
    pending_ = std::make_unique<Job>(Job{std::move(field), params, image});
    if (running_) {
        cancel_->store(true);  // start() follows when it has stopped
        return;
    }
    start();
}

void Renderer::start() {
    if (worker_.joinable()) worker_.join();
    const Job job = std::move(*pending_);
    pending_.reset();
    running_ = true;
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    // The convolution is done again only when the field or its method changed.
    std::shared_ptr<const RunResult> reuse;
    if (last_ && last_->field == job.field && sameMethod(last_->run->params, job.params)) reuse = last_->run;
    worker_ = std::thread([this, job, reuse, cancel = cancel_] {
        const auto begun = std::chrono::steady_clock::now();
        auto picture = std::make_shared<Picture>();
        picture->field = job.field;
        picture->imageOptions = job.image;
        QString error;
        bool stopped = false;
        try {
            picture->run = reuse;
            if (!reuse) {
                RunSettings s;
                s.rows = job.field->rows();
                s.cols = job.field->cols();
                s.params = job.params;
                s.maskNan = job.field->maskNan;
                s.cancel = cancel.get();
                s.progress = [this](double done) {
                    QMetaObject::invokeMethod(this, [this, done] { emit progressed(done); }, Qt::QueuedConnection);
                };
                picture->run = std::make_shared<const RunResult>(runLic(copyOf(job.field->field), s));
                picture->convolved = true;
            }
            if (cancel->load()) throw Cancelled();
            picture->image = std::make_shared<const Image>(renderRun(*picture->run, job.image, nullptr, 0, cancel.get()));
        } catch (const Cancelled&) {
            stopped = true;
        } catch (const ParamError& e) {
            error = QString::fromStdString("--" + e.option() + ": " + e.problem());
        } catch (const std::bad_alloc&) {
            error = "not enough memory";
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        }
        picture->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        std::shared_ptr<const Picture> result = stopped || !error.isEmpty() ? nullptr : picture;
        QMetaObject::invokeMethod(
            this, [this, result, error, stopped] { done(result, error, stopped); }, Qt::QueuedConnection);
    });
}

void Renderer::done(std::shared_ptr<const Picture> picture, const QString& error, bool wasCancelled) {
    running_ = false;
    if (picture) last_ = picture;
    // Settings that came during the run replace its outcome.
    if (pending_) {
        if (wasCancelled) emit cancelled();
        start();
        return;
    }
    if (wasCancelled) emit cancelled();
    else if (picture) emit finished(picture);
    else emit failed(error);
}

}  // namespace fastlic::viewer
