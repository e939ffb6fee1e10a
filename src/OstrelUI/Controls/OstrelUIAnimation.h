// Timing and animated changes of the kit and the screens.
//
// Every duration is multiplied by animationScale(). At scale 0 nothing moves:
// changes land at once, and completions still run on a later turn of the
// event loop, in the order they were started, as they would after a real
// animation. Main thread only.
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QTransform>
#include <QWidget>
#include <functional>
#include <memory>

class QVariantAnimation;

namespace ostrelui {

/// The factor applied to every animation duration: PEL_UI_ANIMATION_SCALE
/// (a number >= 0) when set, else 1.
double animationScale();
/// Replaces the factor (tests use 0); a negative value returns to the
/// environment's.
void setAnimationScale(double scale);
/// `seconds` scaled, in whole milliseconds (0 at scale 0).
int scaledMilliseconds(double seconds);

/// Runs `fn` (guarded) on a later turn of the event loop. Calls made in a row
/// run in that order.
void runOnNextTurn(std::function<void()> fn);

/// Runs `fn` (guarded) after `seconds` (scaled) on the event loop; at scale 0
/// on the next turn.
void runAfter(double seconds, std::function<void()> fn);

/// The kinds of content transition.
enum class TransitionType {
    PushFromTop,   ///< the new look slides in from the top, pushing the old one down
    PushFromLeft,  ///< the new look slides in from the left, pushing the old one right
    Reveal,        ///< the old look slides out to the right, uncovering the new one
    Fade,          ///< the old look fades into the new one
};

/// Animated changes of a widget's look, painted from snapshots.
class Transition {
  public:
    /// Takes a snapshot of `target` (nothing when it is hidden), runs
    /// `change` (which may change its contents, text or visibility), and
    /// animates from the old look to the new one over `seconds`; the live
    /// widget is shown again at the end and `completion` runs. A target that
    /// is destroyed meanwhile ends the animation; the completion still runs.
    /// A top-level target, or a duration of 0 after scaling, changes at once
    /// (the completion still waits for the next turn). A new run on the same
    /// target ends the one before it.
    static void run(QWidget* target, TransitionType type, double seconds,
                    const std::function<void()>& change, std::function<void()> completion = {});

    /// Animates the painted transform of `target` (about its top-left
    /// corner, in its parent's coordinates) from its current one to `to`
    /// over `seconds`, then runs `completion`. While the transform is not the
    /// identity the widget is shown as a transformed snapshot, drawn only
    /// within the widget's own rectangle (a panel moving out of its place
    /// disappears at its edge); returning to the identity shows the live
    /// widget again.
    static void animateTransform(QWidget* target, const QTransform& to, double seconds,
                                 std::function<void()> completion = {});
    /// The transform last set for `target` (identity when none).
    static QTransform transformOf(const QWidget* target);
    /// Sets the transform at once (no animation).
    static void setTransform(QWidget* target, const QTransform& transform);

    /// Whether a transition or transform animation runs on `target`.
    static bool isAnimating(const QWidget* target);
    /// Whether one runs on `root` or any widget inside it, or one of them is
    /// shown through a moved snapshot; those inside `except` (and `except`
    /// itself) not counted.
    static bool isAnimatingWithin(const QWidget* root, const QWidget* except = nullptr);
};

/// A layout constant (a spacing, a width, a position) that can be set or
/// animated: `apply` receives every value, including those in between.
/// constant() answers the value set last (the end value of an animation),
/// as a layout constraint's model value does.
class LayoutConstant {
  public:
    explicit LayoutConstant(double constant = 0, std::function<void(double)> apply = {});
    ~LayoutConstant();
    LayoutConstant(const LayoutConstant&) = delete;
    LayoutConstant& operator=(const LayoutConstant&) = delete;

    double constant() const { return constant_; }
    /// The value applied last (differs from constant() while animating).
    double presentedConstant() const { return presented_; }
    /// Sets and applies `value` at once, ending any animation.
    void setConstant(double value);
    /// Animates to `value` over `seconds`, then runs `completion`.
    void animateTo(double value, double seconds, std::function<void()> completion = {});
    bool isAnimating() const;
    /// Replaces the function that applies values; applies the current one.
    void setApply(std::function<void(double)> apply);

  private:
    void present(double value);

    double constant_;
    double presented_;
    std::function<void(double)> apply_;
    QPointer<QVariantAnimation> animation_;
};

}  // namespace ostrelui
