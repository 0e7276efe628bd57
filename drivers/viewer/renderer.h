// Convolves and renders on a thread of its own, one run at a time, so that
// the window never waits: new settings cancel the run under way and the
// newest settings win.
#pragma once

#include <QObject>

#include <atomic>
#include <memory>
#include <thread>

#include "drivers/viewer/field.h"
#include "render/render.h"

namespace fastlic::viewer {

// A finished picture and what made it.
struct Picture {
    std::shared_ptr<const LoadedField> field;
    std::shared_ptr<const RunResult> run;
    std::shared_ptr<const Image> image;
    RenderOptions imageOptions;
    double seconds = 0.0;  // convolution (when it ran) and rendering
    bool convolved = false;
};

class Renderer : public QObject {
    Q_OBJECT
public:
    explicit Renderer(QObject* parent = nullptr);
    ~Renderer() override;  // cancels and waits for the run under way

    // The picture of field with these settings, as soon as can be. A run
    // under way for older settings is cancelled.
    void request(std::shared_ptr<const LoadedField> field, const LicParams& params, const RenderOptions& image);
    bool busy() const { return running_; }

signals:
    void progressed(double fraction);
    void finished(std::shared_ptr<const fastlic::viewer::Picture> picture);
    void failed(const QString& message);
    void cancelled();

private:
    struct Job {
        std::shared_ptr<const LoadedField> field;
        LicParams params;
        RenderOptions image;
    };
    void start();
    void done(std::shared_ptr<const Picture> picture, const QString& error, bool wasCancelled);

    std::thread worker_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    bool running_ = false;
    std::unique_ptr<Job> pending_;
    // The last convolution, kept while only the image options change.
    std::shared_ptr<const Picture> last_;
};

}  // namespace fastlic::viewer
