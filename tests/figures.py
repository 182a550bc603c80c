"""Checks of a figure as drawn."""


def clipped(figure):
    """What reaches outside the figure once it is drawn: the titles of
    axes whose drawn parts (tick labels, labels, legend, title) do, and the
    figure's and subfigures' own texts (suptitles) that do."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    renderer = canvas.get_renderer()
    bounds = figure.bbox

    def outside(box):
        return (box.x0 < bounds.x0 - 0.5 or box.x1 > bounds.x1 + 0.5
                or box.y0 < bounds.y0 - 0.5 or box.y1 > bounds.y1 + 0.5)

    found = [f"axes {ax.get_title()!r}" for ax in figure.get_axes()
             if ax.get_visible() and outside(ax.get_tightbbox(renderer))]
    for part in [figure, *figure.subfigs, *(s for f in figure.subfigs for s in f.subfigs)]:
        found += [f"text {t.get_text()!r}" for t in part.texts
                  if t.get_visible() and t.get_text().strip() and outside(t.get_window_extent(renderer))]
    return found


def crowded(figure):
    """Pairs of an axes' own texts (annotations) that cover each other, or a
    text that reaches outside its axes, once the figure is drawn."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    renderer = canvas.get_renderer()
    found = []
    for ax in figure.get_axes():
        texts = [(t.get_text(), t.get_window_extent(renderer)) for t in ax.texts if t.get_visible()]
        found += [f"{a!r} over {b!r}" for i, (a, box) in enumerate(texts) for b, other in texts[i + 1:]
                  if box.overlaps(other)]
        found += [f"{a!r} outside {ax.get_title()!r}" for a, box in texts
                  if box.y1 > ax.bbox.y1 + 0.5 or box.x0 < ax.bbox.x0 - 0.5 or box.x1 > ax.bbox.x1 + 0.5]
    return found
