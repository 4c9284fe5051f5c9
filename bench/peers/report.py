"""The Markdown tables of a run, ready for a note."""

import statistics

MIB = 1024 * 1024


def percent(value):
    return "%.1f %%" % value


def spread(values, form):
    middle = statistics.median(values)
    if len(values) == 1:
        return form(middle)
    return "%s (%s–%s)" % (form(middle), form(min(values)).split()[0], form(max(values)))


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def feed_tables(programs, feeds, results, runs, seconds):
    ours = [p for p in programs if p.kind == "ours"]
    peers = [p for p in programs if p.kind != "ours"]
    lines = ["CPU share of one core, median of %d run%s of %g s each (min–max); only runs in "
             "which the program kept up count." % (runs, "s" if runs > 1 else "", seconds), "",
             "| feed | " + " | ".join(p.label for p in programs) +
             "".join(" | %s / better peer" % p.label for p in ours if peers) + " |",
             "|---" * (1 + len(programs) + (len(ours) if peers else 0)) + "|"]
    details = ["", "The X server's CPU share while each program ran (median), and the worst run: "
               "the longest a write of the board waited for room, the feeder's largest lag "
               "behind its schedule (its own delays on a busy machine too), the mean of the "
               "unread bytes in the line discipline sampled every 0.1 s, the time to idle after "
               "the last write.", "",
               "| feed | " + " | ".join(p.label for p in programs) + " |",
               "|---" * (1 + len(programs)) + "|"]
    notes = []
    for feed in feeds:
        cells, medians, xcells = [], {}, []
        for program in programs:
            trials = results[(feed[0], program.label)]
            good = [t.share for t in trials if t.kept_up]
            behind = [t for t in trials if t.share is not None and not t.kept_up]
            failed = [t for t in trials if t.share is None]
            cell = spread(good, percent) if good else "—"
            if good:
                medians[program.label] = statistics.median(good)
            if behind:
                cell += " ⚠ behind in %d of %d (%s)" % (
                    len(behind), len(trials), spread([t.share for t in behind], percent))
            if failed:
                cell += " ✗ failed %d" % len(failed)
                notes += ["%s, %s: %s" % (feed[0], program.label, t.failure) for t in failed]
            cells.append(cell)
            measured = [t for t in trials if t.share is not None]
            if measured:
                xcells.append("X %s · held up %.0f ms · lag %.0f ms · backlog %.0f B · tail "
                              "%.1f s" % (percent(statistics.median(t.xshare for t in measured)),
                                          max(t.blocked for t in measured) * 1000,
                                          max(t.lag for t in measured) * 1000,
                                          max(t.backlog for t in measured),
                                          max(t.tail for t in measured)))
            else:
                xcells.append("—")
        ratios = []
        if peers:
            peer_medians = [(medians[p.label], p.label) for p in peers if p.label in medians]
            best = min(peer_medians) if peer_medians else None
            for program in ours:
                if best and program.label in medians and best[0] > 0:
                    ratios.append("%.2f (%s)" % (medians[program.label] / best[0], best[1]))
                else:
                    ratios.append("—")
        lines.append("| %s | %s |" % (feed[0], " | ".join(cells + ratios)))
        details.append("| %s | %s |" % (feed[0], " | ".join(xcells)))
    return lines + details, notes


def bulk_table(programs, bulk, size):
    lines = ["", "Bulk text: %g MiB of 80-character lines written as fast as each program reads "
             "them (MB = MiB)." % (size / MIB), "",
             "| bulk text | " + " | ".join(p.label for p in programs) + " |",
             "|---" * (1 + len(programs)) + "|"]
    rate, amount, wall = [], [], []
    notes = []
    for program in programs:
        trials = [t for t in bulk[program.label] if "failure" not in t]
        for t in bulk[program.label]:
            if "failure" in t:
                notes.append("bulk, %s: %s" % (program.label, t["failure"]))
        if not trials:
            rate.append("—")
            amount.append("failed")
            wall.append("—")
            continue
        rate.append(spread([t["mb_per_cpu_s"] for t in trials], lambda v: "%.1f" % v))
        taken = min(t["bytes"] for t in trials)
        text = "%.1f MiB" % (taken / MIB)
        if any(t["cut"] for t in trials):
            text += " (cut at the time limit: too slow for all %g MiB)" % (size / MIB)
        if not all(t["drained"] for t in trials):
            text += " (still busy 120 s after the last write)"
        amount.append(text)
        wall.append(spread([t["wall"] for t in trials], lambda v: "%.1f s" % v))
    lines.append("| MB per CPU second | " + " | ".join(rate) + " |")
    lines.append("| text taken | " + " | ".join(amount) + " |")
    lines.append("| wall time to the last byte read and idle | " + " | ".join(wall) + " |")
    lines += against_gtkterm(programs, {p.label: [t["mb_per_cpu_s"] for t in bulk[p.label]
                                                  if "failure" not in t] for p in programs},
                             "%.2f × GTKTerm's")
    return lines, notes


def against_gtkterm(programs, values, form):
    """A row with each of our builds' median against GTKTerm's, when GTKTerm was measured."""
    gtk = [p for p in programs if p.kind == "gtkterm" and values[p.label]]
    if not gtk:
        return []
    reference = statistics.median(values[gtk[0].label])
    return ["| against GTKTerm | " + " | ".join(
        form % (statistics.median(values[p.label]) / reference)
        if p.kind == "ours" and values[p.label] and reference > 0 else ""
        for p in programs) + " |"]


def start_table(programs, starts):
    lines = ["", "Start to a shown window: exec to the main window mapped, median of %d starts "
             "each (min–max), taking turns." % max(len(v) for v in starts.values()), "",
             "| start | " + " | ".join(p.label for p in programs) + " |",
             "|---" * (1 + len(programs)) + "|",
             "| exec to a shown window | " + " | ".join(
                 spread(starts[p.label], lambda v: "%.0f ms" % v) if starts[p.label] else "—"
                 for p in programs) + " |"]
    return lines + against_gtkterm(programs, starts, "%.2f × GTKTerm's")
