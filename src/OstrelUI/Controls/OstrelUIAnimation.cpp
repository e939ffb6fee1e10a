#include "OstrelUI/Controls/OstrelUIAnimation.h"

#include <QCoreApplication>
#include <QGraphicsOpacityEffect>
#include <QMetaObject>
#include <QPainter>
#include <QTimer>
#include <QVariantAnimation>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <utility>

#include "OstrelUI/Controls/OstrelUIGuard.h"

namespace ostrelui {

namespace {

std::optional<double> gScaleOverride;

double environmentScale() {
    static const double scale = [] {
        const char* text = std::getenv("PEL_UI_ANIMATION_SCALE");
        if (!text || !*text) return 1.0;
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end == text || !std::isfinite(value) || value < 0) return 1.0;
        return value;
    }();
    return scale;
}

// Keeps the widget's place in its layout while it paints nothing.
void hideLive(QWidget* target) {
    if (!target->graphicsEffect()) {
        auto* effect = new QGraphicsOpacityEffect(target);
        effect->setOpacity(0);
        target->setGraphicsEffect(effect);
        target->setProperty("_ostreluiHidden", true);
    }
}

void showLive(QWidget* target) {
    if (target->property("_ostreluiHidden").toBool()) {
        target->setGraphicsEffect(nullptr);
        target->setProperty("_ostreluiHidden", QVariant());
    }
}

QTransform interpolate(const QTransform& a, const QTransform& b, double t) {
    auto mix = [t](double x, double y) { return x + (y - x) * t; };
    return QTransform(mix(a.m11(), b.m11()), mix(a.m12(), b.m12()), mix(a.m21(), b.m21()),
                      mix(a.m22(), b.m22()), mix(a.dx(), b.dx()), mix(a.dy(), b.dy()));
}

// Paints the old and new snapshots of a content transition over the target.
class TransitionOverlay : public QWidget {
  public:
    TransitionOverlay(QWidget* target, TransitionType type, QPixmap from, QPixmap to,
                      std::function<void()> completion)
        : QWidget(target->parentWidget()),
          target_(target),
          type_(type),
          from_(std::move(from)),
          to_(std::move(to)),
          completion_(std::move(completion)) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(target->geometry());
        raise();
        show();
    }

    ~TransitionOverlay() override { finish(); }

    void setProgress(double t) {
        progress_ = t;
        update();
    }

    // Shows the live widget and hands the completion to the event loop; once.
    void finish() {
        if (finished_) return;
        finished_ = true;
        if (target_) showLive(target_);
        if (completion_) runOnNextTurn(std::move(completion_));
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        guarded([this] {
            QPainter p(this);
            p.setClipRect(rect());
            const double w = width(), h = height(), t = progress_;
            auto draw = [&p](const QPixmap& pix, double x, double y) {
                if (!pix.isNull()) p.drawPixmap(QPointF(x, y), pix);
            };
            switch (type_) {
                case TransitionType::PushFromTop:
                    draw(from_, 0, h * t);
                    draw(to_, 0, -h + h * t);
                    break;
                case TransitionType::PushFromLeft:
                    draw(from_, w * t, 0);
                    draw(to_, -w + w * t, 0);
                    break;
                case TransitionType::Reveal:
                    draw(to_, 0, 0);
                    draw(from_, w * t, 0);
                    break;
                case TransitionType::Fade:
                    p.setOpacity(1 - t);
                    draw(from_, 0, 0);
                    p.setOpacity(t);
                    draw(to_, 0, 0);
                    break;
            }
        })();
    }

  private:
    QPointer<QWidget> target_;
    TransitionType type_;
    QPixmap from_, to_;
    std::function<void()> completion_;
    double progress_ = 0;
    bool finished_ = false;
};

// Paints a transformed snapshot of a widget over its parent, within the
// widget's own place: a panel sliding in or out never draws over its
// neighbours.
class TransformOverlay : public QWidget {
  public:
    TransformOverlay(QWidget* target, QPixmap snapshot)
        : QWidget(target->parentWidget()), target_(target), snapshot_(std::move(snapshot)) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(parentWidget()->rect());
        raise();
        show();
    }
    void setTransform(const QTransform& t) {
        transform_ = t;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        guarded([this] {
            // A hidden widget is not drawn through its snapshot either.
            if (!target_ || target_->isHidden()) return;
            QPainter p(this);
            p.setClipRect(target_->geometry());
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.translate(target_->pos());
            p.setTransform(transform_, true);
            p.drawPixmap(QPointF(0, 0), snapshot_);
        })();
    }

  private:
    QPointer<QWidget> target_;
    QPixmap snapshot_;
    QTransform transform_;
};

struct TransformState {
    QTransform transform;
    QPointer<TransformOverlay> overlay;
    QPointer<QVariantAnimation> animation;
};

std::map<const QWidget*, QPointer<TransitionOverlay>>& transitions() {
    static std::map<const QWidget*, QPointer<TransitionOverlay>> map;
    return map;
}

std::map<const QWidget*, TransformState>& transforms() {
    static std::map<const QWidget*, TransformState> map;
    return map;
}

void forgetOnDestroy(QWidget* target) {
    if (target->property("_ostreluiTracked").toBool()) return;
    target->setProperty("_ostreluiTracked", true);
    QObject::connect(target, &QObject::destroyed, [target] {
        if (auto it = transitions().find(target); it != transitions().end()) {
            if (it->second) it->second->deleteLater();
            transitions().erase(it);
        }
        if (auto it = transforms().find(target); it != transforms().end()) {
            if (it->second.animation) it->second.animation->stop();
            if (it->second.overlay) it->second.overlay->deleteLater();
            transforms().erase(it);
        }
    });
}

void endTransition(const QWidget* target) {
    auto it = transitions().find(target);
    if (it == transitions().end()) return;
    QPointer<TransitionOverlay> overlay = it->second;
    transitions().erase(it);
    if (overlay) delete overlay.data();  // finishes it
}

// Shows the transform `t` of `target`: the live widget for the identity,
// else a transformed snapshot.
void presentTransform(QWidget* target, TransformState& state, const QTransform& t) {
    if (t.isIdentity()) {
        if (state.overlay) delete state.overlay.data();
        showLive(target);
        return;
    }
    if (!state.overlay) {
        if (!target->parentWidget()) return;
        state.overlay = new TransformOverlay(target, target->grab());
        hideLive(target);
    }
    state.overlay->setTransform(t);
}

}  // namespace

double animationScale() { return gScaleOverride ? *gScaleOverride : environmentScale(); }

void setAnimationScale(double scale) {
    if (scale < 0 || !std::isfinite(scale))
        gScaleOverride.reset();
    else
        gScaleOverride = scale;
}

int scaledMilliseconds(double seconds) {
    const double ms = seconds * animationScale() * 1000.0;
    if (!(ms > 0)) return 0;
    return ms > 1e9 ? 1000000000 : static_cast<int>(std::lround(ms));
}

void runOnNextTurn(std::function<void()> fn) {
    if (!fn) return;
    if (!QCoreApplication::instance()) {  // no event loop to wait for
        guarded(fn)();
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [fn = std::move(fn)]() mutable { guarded(fn)(); },
        Qt::QueuedConnection);
}

void runAfter(double seconds, std::function<void()> fn) {
    if (!fn) return;
    const int ms = scaledMilliseconds(seconds);
    if (ms == 0) return runOnNextTurn(std::move(fn));
    QTimer::singleShot(ms, QCoreApplication::instance(),
                       [fn = std::move(fn)]() mutable { guarded(fn)(); });
}

void Transition::run(QWidget* target, TransitionType type, double seconds,
                     const std::function<void()>& change, std::function<void()> completion) {
    if (target) endTransition(target);
    const int ms = scaledMilliseconds(seconds);
    if (!target || !target->parentWidget() || ms == 0) {
        if (change) change();
        runOnNextTurn(std::move(completion));
        return;
    }
    QPixmap from = target->isVisible() ? target->grab() : QPixmap();
    if (change) change();
    const bool visibleAfter = !target->isHidden();
    QPixmap to = visibleAfter ? target->grab() : QPixmap();

    forgetOnDestroy(target);
    auto* overlay =
        new TransitionOverlay(target, type, std::move(from), std::move(to), std::move(completion));
    if (visibleAfter) hideLive(target);
    transitions()[target] = overlay;

    auto* animation = new QVariantAnimation(overlay);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(ms);
    QObject::connect(animation, &QVariantAnimation::valueChanged, overlay,
                     guarded([overlay](const QVariant& v) { overlay->setProgress(v.toDouble()); }));
    QPointer<QWidget> guard(target);
    QObject::connect(animation, &QVariantAnimation::finished, overlay, guarded([guard, overlay] {
                         if (guard) transitions().erase(guard.data());
                         overlay->finish();
                         overlay->deleteLater();
                     }));
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void Transition::animateTransform(QWidget* target, const QTransform& to, double seconds,
                                  std::function<void()> completion) {
    if (!target) return runOnNextTurn(std::move(completion));
    forgetOnDestroy(target);
    TransformState& state = transforms()[target];
    if (state.animation) {
        state.animation->stop();
        delete state.animation.data();
    }
    const QTransform from = state.transform;
    state.transform = to;
    const int ms = scaledMilliseconds(seconds);
    if (ms == 0) {
        presentTransform(target, state, to);
        runOnNextTurn(std::move(completion));
        return;
    }
    // The snapshot is needed from the first frame on, whatever the ends are.
    if (!state.overlay && target->parentWidget()) {
        state.overlay = new TransformOverlay(target, target->grab());
        hideLive(target);
    }
    if (state.overlay) state.overlay->setTransform(from);

    auto* animation = new QVariantAnimation(target);
    state.animation = animation;
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(ms);
    QPointer<QWidget> guard(target);
    QObject::connect(animation, &QVariantAnimation::valueChanged, target,
                     guarded([guard, from, to](const QVariant& v) {
                         auto it = transforms().find(guard.data());
                         if (!guard || it == transforms().end() || !it->second.overlay) return;
                         it->second.overlay->setTransform(interpolate(from, to, v.toDouble()));
                     }));
    auto done = std::make_shared<std::function<void()>>(std::move(completion));
    QObject::connect(animation, &QVariantAnimation::finished, target, guarded([guard, to, done] {
                         auto it = transforms().find(guard.data());
                         if (guard && it != transforms().end())
                             presentTransform(guard.data(), it->second, to);
                         runOnNextTurn(std::exchange(*done, nullptr));
                     }));
    // A destroyed target stops the animation without "finished": the
    // completion still runs.
    QObject::connect(animation, &QObject::destroyed,
                     [done] { runOnNextTurn(std::exchange(*done, nullptr)); });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

QTransform Transition::transformOf(const QWidget* target) {
    auto it = transforms().find(target);
    return it == transforms().end() ? QTransform() : it->second.transform;
}

void Transition::setTransform(QWidget* target, const QTransform& transform) {
    animateTransform(target, transform, 0);
}

bool Transition::isAnimatingWithin(const QWidget* root, const QWidget* except) {
    if (!root) return false;
    auto within = [](const QWidget* outer, const QWidget* w) {
        return outer && w && (w == outer || outer->isAncestorOf(w));
    };
    auto inside = [&](const QWidget* w) { return within(root, w) && !within(except, w); };
    for (const auto& [target, overlay] : transitions())
        if (overlay && inside(target)) return true;
    // A moved snapshot standing in for its widget counts too: the window
    // does not show the live widget there.
    for (const auto& [target, state] : transforms())
        if ((state.animation || state.overlay) && inside(target)) return true;
    return false;
}

bool Transition::isAnimating(const QWidget* target) {
    if (auto it = transitions().find(target); it != transitions().end() && it->second) return true;
    auto it = transforms().find(target);
    return it != transforms().end() && it->second.animation;
}

LayoutConstant::LayoutConstant(double constant, std::function<void(double)> apply)
    : constant_(constant), presented_(constant), apply_(std::move(apply)) {
    if (apply_) apply_(constant);
}

LayoutConstant::~LayoutConstant() {
    if (animation_) {
        animation_->disconnect();
        delete animation_.data();
    }
}

void LayoutConstant::present(double value) {
    presented_ = value;
    if (apply_) apply_(value);
}

void LayoutConstant::setConstant(double value) {
    if (animation_) {
        animation_->disconnect();
        delete animation_.data();
    }
    constant_ = value;
    present(value);
}

void LayoutConstant::animateTo(double value, double seconds, std::function<void()> completion) {
    const double from = presented_;
    setConstant(from);
    constant_ = value;
    const int ms = scaledMilliseconds(seconds);
    if (ms == 0) {
        present(value);
        runOnNextTurn(std::move(completion));
        return;
    }
    auto* animation = new QVariantAnimation();
    animation_ = animation;
    animation->setStartValue(from);
    animation->setEndValue(value);
    animation->setDuration(ms);
    QObject::connect(animation, &QVariantAnimation::valueChanged,
                     guarded([this](const QVariant& v) { present(v.toDouble()); }));
    QObject::connect(animation, &QVariantAnimation::finished,
                     guarded([this, value, completion = std::move(completion)]() mutable {
                         present(value);
                         runOnNextTurn(std::move(completion));
                     }));
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

bool LayoutConstant::isAnimating() const { return !animation_.isNull(); }

void LayoutConstant::setApply(std::function<void(double)> apply) {
    apply_ = std::move(apply);
    if (apply_) apply_(presented_);
}

}  // namespace ostrelui
