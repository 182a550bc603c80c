"""Checks of a figure as drawn."""


def _drawn(figure):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    return canvas.get_renderer()


def clipped(figure):
    """What reaches outside the figure once it is drawn: the titles of
    axes whose drawn parts (tick labels, labels, legend, title) do, and the
    figure's and subfigures' own texts (suptitles) and legends that do."""
    renderer = _drawn(figure)
    bounds = figure.bbox

    def outside(box):
        return (box.x0 < bounds.x0 - 0.5 or box.x1 > bounds.x1 + 0.5
                or box.y0 < bounds.y0 - 0.5 or box.y1 > bounds.y1 + 0.5)

    found = [f"axes {ax.get_title()!r}" for ax in figure.get_axes()
             if ax.get_visible() and outside(ax.get_tightbbox(renderer))]
    for part in [figure, *figure.subfigs, *(s for f in figure.subfigs for s in f.subfigs)]:
        found += [f"text {t.get_text()!r}" for t in part.texts
                  if t.get_visible() and t.get_text().strip() and outside(t.get_window_extent(renderer))]
        found += [f"legend {g.get_title().get_text()!r}" for g in part.legends
                  if g.get_visible() and outside(g.get_window_extent(renderer))]
    return found


def crowded(figure):
    """Pairs of an axes' own texts (annotations) that cover each other, or a
    text that reaches outside its axes, once the figure is drawn."""
    renderer = _drawn(figure)
    found = []
    for ax in figure.get_axes():
        texts = [(t.get_text(), t.get_window_extent(renderer)) for t in ax.texts if t.get_visible()]
        found += [f"{a!r} over {b!r}" for i, (a, box) in enumerate(texts) for b, other in texts[i + 1:]
                  if box.overlaps(other)]
        found += [f"{a!r} outside {ax.get_title()!r}" for a, box in texts
                  if box.y1 > ax.bbox.y1 + 0.5 or box.x0 < ax.bbox.x0 - 0.5 or box.x1 > ax.bbox.x1 + 0.5]
    return found


def overlapping(figure):
    """Pairs of an axes' drawn texts (its title, tick labels, axis labels
    and own texts) that touch or cover each other, once the figure is
    drawn; tick labels of an axis only with their neighbours."""
    renderer = _drawn(figure)
    # A point of space around each: labels that merely touch read as one.
    pad = figure.dpi / 72.0

    def boxes(texts):
        return [(t.get_text(), t.get_window_extent(renderer).padded(pad)) for t in texts
                if t.get_visible() and t.get_text().strip()]

    found = []
    for ax in figure.get_axes():
        if not ax.get_visible():
            continue
        ticks = []
        for axis in (ax.xaxis, ax.yaxis):
            lo, hi = sorted(axis.get_view_interval())
            near = (hi - lo) * 1e-9  # ticks outside the view are not drawn
            labels = boxes([t.label1 for t in axis.get_major_ticks() if lo - near <= t.get_loc() <= hi + near])
            found += [f"{a!r} and {b!r} on {ax.get_title()!r}" for (a, box), (b, other) in zip(labels, labels[1:])
                      if box.overlaps(other)]
            ticks.append(labels)
        others = boxes([ax.title, ax.xaxis.label, ax.yaxis.label, *ax.texts])
        # The corner's x and y tick labels may share the corner; other pairs not.
        pairs = ([(a, b) for i, a in enumerate(others) for b in others[i + 1:]]
                 + [(a, b) for a in others for b in ticks[0] + ticks[1]])
        found += [f"{a!r} and {b!r} on {ax.get_title()!r}" for (a, box), (b, other) in pairs if box.overlaps(other)]
    return found


def covered(figure):
    """Data points (a line's markers) that a text of their axes covers, once
    the figure is drawn."""
    renderer = _drawn(figure)
    found = []
    for ax in figure.get_axes():
        if not ax.get_visible():
            continue
        points = [xy for line in ax.get_lines() if line.get_visible() and line.get_marker() not in (None, "None", "")
                  for xy in ax.transData.transform(line.get_xydata())]
        points = [(x, y) for x, y in points if ax.bbox.contains(x, y)]
        found += [f"{t.get_text()!r} over a point of {ax.get_title()!r}" for t in ax.texts
                  if t.get_visible() and any(t.get_window_extent(renderer).contains(x, y) for x, y in points)]
    return found


def legends_over_axes(part):
    """Legends of a figure or subfigure (its own and its axes') that reach
    into the plotting area of one of its axes, where they can hide data."""
    renderer = _drawn(part.figure)
    axes = [ax for ax in part.axes if ax.get_visible()]
    legends = [*part.legends, *(ax.get_legend() for ax in axes if ax.get_legend() is not None)]
    return [f"legend {g.get_title().get_text()!r} over {ax.get_title()!r}" for g in legends for ax in axes
            if g.get_visible() and g.get_window_extent(renderer).overlaps(ax.bbox)]
