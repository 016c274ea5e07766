#pragma once
// A jog held by a key on grbl: short segments sent while the key is held, each once grbl's reports show the
// machine within two segments of where the last one ends (and the one before answered), so that grbl's queue
// stays full enough for a smooth run and never holds more than a fraction of a second of travel. The key's
// auto-repeat renews a lease; a release that never comes lets the lease run out, and the jog is cancelled as on
// a release. A release cancels at once, and again once a segment still on its way is answered: grbl would start
// that one after the first cancel.

#include "machine_setup.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <optional>

namespace zelmar {

class HeldJog : public QObject {
    Q_OBJECT
public:
    // Longer than a keyboard's delay before it repeats (0.25 to 0.66 s on common systems).
    static constexpr int leaseMs = 1000;

    explicit HeldJog(QObject* parent = nullptr);

    // Starts sending the segment; the same segment held already only renews the lease.
    void hold(GrblLink& link, const HeldJogSegment& segment);
    // The key is let go: nothing more is sent, and the jog is cancelled.
    void release();
    bool held() const { return held_; }
    const HeldJogSegment& segment() const { return segment_; }
    // Held, or a segment is still unanswered.
    bool busy() const { return held_ || sending_.running(); }

signals:
    // grbl refused a segment (beyond the travel), went into alarm or the line failed: the jog is over.
    void failed(const zelmar::SetupFailure& failure);

private:
    void tick();
    // Where grbl last reported the machine along the segment's axis.
    std::optional<std::int64_t> reported() const;

    QPointer<GrblLink> link_;
    HeldJogSegment segment_;
    MachineSetup sending_;
    QTimer pace_;
    QElapsedTimer lease_;
    bool held_ = false;
    bool cancelOnAnswer_ = false;
    std::int64_t start_ = 0; // along the axis, where the jog began
    std::int64_t sent_ = 0;  // the segments' travel sent so far, signed
};

} // namespace zelmar
