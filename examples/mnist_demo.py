"""MNIST end to end with tarnex's native core.

Walks the toolkit's typical road: `mnist_loaders` builds the training and
test loaders; every batch goes through `split_batch` -> `to_device` ->
`forward` while a small CNN trains for a few epochs; the test accuracy is
measured the same way. Then `example_probe` cuts (at most) 8 digits out of a
test batch, `example_tensor` takes their plain tensor, and `set_primary_input`
feeds a gradient-tracking copy of it back through the model, whose gradient
gives a saliency map per digit, saved as a PNG with predicted and true labels.

MNIST lives under ./data, relative to the current directory (torchvision's
layout, data/MNIST/raw). When it is missing, torchvision downloads it where
the network answers; otherwise the demo unpacks the 10,000 real digits kept
next to this script (data/mnist-sample: 8,000 for training, 2,000 for test).

    python examples/mnist_demo.py
    python examples/mnist_demo.py --epochs 1 --limit-batches 5 --out /tmp/s.png
    python examples/mnist_demo.py --device cuda:1

On the sample it runs in under a minute on 2 CPU cores and reaches about 98 %
test accuracy; the full MNIST (70,000 digits) takes several times longer.
"""
import argparse
import gzip
import math
import os
import shutil
import socket
import struct
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

# matplotlib, tqdm, torch and tarnex are imported by main() once the options
# have been read: --help and a refused option end at once, not after seconds
# of imports, and a missing extra is named in one line.
plt = FigureCanvasBase = torch = F = nn = tqdm = bk = mnist_loaders = None

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "data" / "mnist-sample"
RAW = Path("data") / "MNIST" / "raw"  # where mnist_loaders' datasets look
FILES = ("train-images-idx3-ubyte", "train-labels-idx1-ubyte",
         "t10k-images-idx3-ubyte", "t10k-labels-idx1-ubyte")
MIRROR = ("ossci-datasets.s3.amazonaws.com", 443)  # torchvision's first mirror
DEFAULT_NAME = "mnist_saliency.png"


def needs(exc):
    """The one-line exit for a missing module: the demo's extras, or tarnex itself."""
    name = (exc.name or "").split(".")[0] or "a module"
    sys.exit(f"{Path(__file__).name} needs {name}: pip install \"tarnex[demo]\" "
             "(in a checkout of tarnex: pip install \".[demo]\")")


def import_plotting():
    """matplotlib (files only: no display needed) and tqdm."""
    global plt, FigureCanvasBase, tqdm
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.backend_bases import FigureCanvasBase
        from tqdm import tqdm
    except ModuleNotFoundError as e:
        needs(e)


def import_torch():
    """torch and tarnex: the seconds of start-up, paid once the options are good."""
    global torch, F, nn, bk, mnist_loaders
    try:
        import torch
        import torch.nn.functional as F
        from torch import nn

        from tarnex.core import _batchkit as bk
        from tarnex.data.mnist import mnist_loaders
    except ModuleNotFoundError as e:
        needs(e)


def reachable(address, timeout):
    """True when a TCP connection to `address` opens within `timeout` seconds.
    The attempt runs in a daemon thread, so a resolver that never answers
    cannot hold the demo up either."""
    ok = []

    def attempt():
        try:
            socket.create_connection(address, timeout=timeout).close()
            ok.append(True)
        except OSError:
            pass

    t = threading.Thread(target=attempt, daemon=True)
    t.start()
    t.join(timeout + 0.5)
    return bool(ok)


def seed_from_sample():
    """Unpacks all four sample files over whatever a failed download left."""
    RAW.mkdir(parents=True, exist_ok=True)
    for name in FILES:
        part = RAW / f"{name}.part"
        with gzip.open(SAMPLE / f"{name}.gz", "rb") as src, open(part, "wb") as dst:
            shutil.copyfileobj(src, dst)
        # Only whole files take the real name: an interrupted run must not
        # leave a truncated file that looks like data next time.
        os.replace(part, RAW / name)


def raw_fault(path):
    """Why an IDX file of ./data cannot be MNIST (None when it can): the magic
    number (unsigned bytes; 3 dimensions for images, 1 for labels) and a size
    that matches the header. torchvision reads a truncated file without
    complaint and fails later with a reshape error that names no file."""
    dims = 3 if "images" in path.name else 1
    with open(path, "rb") as f:
        head = f.read(4 * (1 + dims))
        if len(head) < 4 * (1 + dims):
            return "shorter than its header"
        magic, *shape = struct.unpack(f">{1 + dims}I", head)
        if magic != 0x800 + dims:
            return f"magic number {magic:#010x} instead of {0x800 + dims:#010x}"
        want, have = len(head) + math.prod(shape), path.stat().st_size
        if have != want:
            return f"{have:,} bytes where its header announces {want:,}"
        # A label outside 0..9 would surface mid-training as an index error
        # of the loss function.
        top = max(f.read(), default=0) if dims == 1 else 0
        if top > 9:
            return f"label {top} outside 0..9"
    return None


def check_data():
    """Stops the demo in one line, with the remedy, where ./data cannot hold
    MNIST: a folder of the way that is a file, a data file that is a folder,
    or, once all four files are there, the first damaged one."""
    for folder in (RAW.parent.parent, RAW.parent, RAW):
        if folder.exists() and not folder.is_dir():
            remedy = ("move it away or run the demo from another folder"
                      if folder == RAW.parent.parent else f"remove ./{RAW.parent} and run again")
            sys.exit(f"error: ./{folder} is a file, not a folder (the demo keeps MNIST in "
                     f"./{RAW}); {remedy}.")
    for name in FILES:
        if (RAW / name).exists() and not (RAW / name).is_file():
            sys.exit(f"error: ./{RAW / name} is not a file; remove ./{RAW.parent} and run again.")
    if not all((RAW / name).is_file() for name in FILES):
        return  # downloaded or seeded from the sample later
    for name in FILES:
        path = RAW / name
        try:
            fault = raw_fault(path)
        except OSError as e:
            fault = e.strerror or str(e)
        if fault:
            sys.exit(f"error: ./{path} is truncated or corrupt ({fault}); "
                     f"remove ./{RAW.parent} and run again.")


def load_mnist(batch_size, offline, timeout):
    """The two loaders of mnist_loaders, after making sure ./data holds MNIST
    (check_data has vetted what is already there)."""
    if all((RAW / name).is_file() for name in FILES):
        return mnist_loaders(batch_size)
    reason = "offline run"
    if not offline:
        if reachable(MIRROR, min(timeout, 3.0)):
            # Bounds every connect and read of torchvision's download.
            saved = socket.getdefaulttimeout()
            socket.setdefaulttimeout(timeout)
            try:
                return mnist_loaders(batch_size)
            except (OSError, RuntimeError) as e:
                # torchvision's message spreads the cause over several lines
                # (each mirror tried, then its error): all of it, on one.
                reason = f"download failed: {' '.join(str(e).split())}"
            finally:
                socket.setdefaulttimeout(saved)
        else:
            reason = f"{MIRROR[0]} not reachable"
    seed_from_sample()
    print(f"MNIST download unavailable ({reason}); using the 10,000-digit sample "
          f"from {SAMPLE.relative_to(HERE.parent)}.")
    return mnist_loaders(batch_size)


def small_cnn():
    """Two convolutions and two linear layers (the class is made here, as
    torch is imported only once the options have passed)."""
    class SmallCNN(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1 = nn.Conv2d(1, 32, 3, padding=1)
            self.conv2 = nn.Conv2d(32, 64, 3, padding=1)
            self.fc1 = nn.Linear(64 * 7 * 7, 128)
            self.fc2 = nn.Linear(128, 10)

        def forward(self, x):
            x = F.max_pool2d(F.relu(self.conv1(x)), 2)
            x = F.max_pool2d(F.relu(self.conv2(x)), 2)
            x = F.dropout(F.relu(self.fc1(x.flatten(1))), 0.25, self.training)
            return self.fc2(x)

    return SmallCNN()


def batches(loader, limit):
    """(x, y) per batch: split_batch turns the loader's [images, labels]
    batch into something to unpack (a dict batch would be split apart)."""
    for i, batch in enumerate(loader):
        if limit is not None and i >= limit:
            return
        x, y = bk.split_batch(batch)
        yield x, y


def train(model, loader, device, epochs, limit):
    steps = len(loader) if limit is None else min(limit, len(loader))
    opt = torch.optim.Adam(model.parameters())
    # One warm-up-then-anneal cycle over the whole run: a few epochs suffice.
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=3e-3, total_steps=max(1, epochs * steps))
    for epoch in range(1, epochs + 1):
        model.train()
        seen = correct = 0
        bar = tqdm(batches(loader, limit), total=steps, desc=f"epoch {epoch}/{epochs}",
                   unit="batch", mininterval=0.5)  # stderr: a piped log keeps the results only
        for x, y in bar:
            x, y = bk.to_device(x, device), y.to(device)
            logits = bk.forward(model, x)
            loss = F.cross_entropy(logits, y)
            opt.zero_grad()
            loss.backward()
            opt.step()
            sched.step()
            seen += len(y)
            correct += int((logits.argmax(1) == y).sum())
            bar.set_postfix(loss=f"{loss.item():.3f}", acc=f"{correct / seen:.3f}")
        bar.close()


def evaluate(model, loader, device, limit):
    model.eval()
    seen = correct = 0
    with torch.no_grad():
        for x, y in batches(loader, limit):
            logits = bk.forward(model, bk.to_device(x, device))
            correct += int((logits.argmax(1) == y.to(device)).sum())
            seen += len(y)
    return correct, seen


def saliency(model, loader, device):
    """Saliency of the predicted class for the 8 probe digits of a test batch:
    |d logit / d pixel| through a gradient-tracking copy of the input."""
    model.eval()
    x, y = bk.split_batch(next(iter(loader)))
    probe = bk.example_probe(bk.to_device(x, device))  # at most 8 samples
    labels = bk.example_probe(y)
    plain = bk.example_tensor(probe)
    tracked = plain.detach().clone().requires_grad_(True)
    logits = bk.forward(model, bk.set_primary_input(probe, tracked))
    pred = logits.argmax(1)
    logits.gather(1, pred[:, None]).sum().backward()
    sal = tracked.grad.abs().amax(dim=1)  # over the channel: (8, 28, 28)
    return plain[:, 0].detach().cpu(), sal.cpu(), pred.cpu(), labels.cpu()


def save_figure(images, sal, pred, true, path):
    """Digits on top, their saliency below, one column per probe digit (1 to 8
    of them). The figure is at least wide enough for its labels, and the title
    and the note are wrapped to its width, so no text is cut off."""
    n = len(images)
    width = max(1.6 * n, 5.0)
    title = textwrap.fill("Test digits and the saliency of the predicted class "
                          "(|d logit / d pixel|)", int(width * 9))
    note = textwrap.fill("Titles: predicted and true label (red when they differ).  Saliency: "
                         "the brighter a pixel, the more it moves the predicted logit; cyan: the "
                         "digit's outline.", int(width * 13))
    lines = title.count("\n") + note.count("\n") + 2
    fig, axes = plt.subplots(2, n, figsize=(width, 4.0 + 0.2 * lines), squeeze=False,
                             layout="constrained")
    for i in range(n):
        top, bottom = axes[0][i], axes[1][i]
        top.imshow(images[i], cmap="gray", vmin=0, vmax=1)
        ok = int(pred[i]) == int(true[i])
        top.set_title(f"pred {int(pred[i])}\ntrue {int(true[i])}", fontsize=11,
                      color="darkgreen" if ok else "crimson")
        bottom.imshow(sal[i] / (sal[i].max() + 1e-12), cmap="inferno", vmin=0, vmax=1)
        bottom.contour(images[i], levels=[0.5], colors="cyan", linewidths=0.7)
        bottom.set_xlim(top.get_xlim())  # contour would trim the image's half-pixel border
        bottom.set_ylim(top.get_ylim())
        for ax in (top, bottom):
            ax.set_xticks([])
            ax.set_yticks([])
    axes[0][0].set_ylabel("digit", fontsize=11)
    axes[1][0].set_ylabel("saliency", fontsize=11)
    fig.suptitle(title, fontsize=12)
    fig.supxlabel(note, fontsize=9)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def count(low, high=None):
    """argparse type: an int in [low, high]; anything else is refused before
    the demo loads or trains anything, in one line, with exit status 2."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        if value < low or (high is not None and value > high):
            bound = f"at least {low}" if high is None else f"between {low} and {high}"
            raise argparse.ArgumentTypeError(f"must be {bound}, got {value}")
        return value
    return parse


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None
    if not (0 < value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a positive, finite number, got {text}")
    return value


def output_path(ap, out):
    """The file the figure will be written to, made absolute and proven
    writable now, so that a bad --out costs no training. A folder gets the
    default file name inside it; a name without a suffix gets ".png", as
    matplotlib would add it; the suffix picks the format."""
    path = Path(os.path.abspath(out.expanduser()))
    if path.is_dir():
        path = path / DEFAULT_NAME
    elif not path.suffix:
        path = path.with_name(path.name + ".png")
    formats = FigureCanvasBase.get_supported_filetypes()
    if path.suffix[1:].lower() not in formats:
        ap.error(f"argument --out: matplotlib cannot write {path.suffix!r} files; "
                 f"use .png, .pdf, .svg or another of: {', '.join(sorted(formats))}")
    if path.is_dir():
        ap.error(f"argument --out: {path} is a folder")
    folder = next(a for a in path.parents if a.exists())
    if not folder.is_dir():
        ap.error(f"argument --out: cannot write {path}: {folder} is a file, not a folder")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        # A real file created and removed in the target folder: permission
        # bits alone say nothing for root or a read-only file system.
        with tempfile.NamedTemporaryFile(dir=path.parent, prefix=".probe-", suffix=path.suffix):
            pass
        if path.exists():
            open(path, "ab").close()  # existing file: writable, left unchanged
    except OSError as e:
        ap.error(f"argument --out: cannot write {path}: {e.strerror or e}")
    return path


def train_device(ap, name):
    """The device to train on. Without --device, cuda where torch sees a GPU
    and cpu otherwise. A named one is tried with an empty tensor first, so a
    device torch does not know or cannot reach here is refused in one line,
    with exit status 2, before the data is loaded; meta tensors hold no
    values to train on."""
    if name is None:
        return "cuda" if torch.cuda.is_available() else "cpu"
    try:
        kind = torch.empty(0, device=name).device.type
    except (RuntimeError, AssertionError) as e:  # CPU-only builds assert on cuda
        reason = str(e).strip().splitlines()
        ap.error(f"argument --device: torch cannot use {name!r} here: "
                 f"{reason[0] if reason else type(e).__name__}")
    if kind == "meta":
        ap.error("argument --device: meta tensors hold no values to train on")
    return name


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--epochs", type=count(1), default=5,
                    help="passes over the training digits (default: %(default)s)")
    ap.add_argument("--batch-size", type=count(1), default=64,
                    help="at most the number of test digits (default: %(default)s)")
    ap.add_argument("--limit-batches", type=count(1), default=None, metavar="N",
                    help="use at most N batches per epoch and for the test (quick runs)")
    ap.add_argument("--out", type=Path, default=HERE / "out" / DEFAULT_NAME,
                    help="where to write the saliency picture: a file (its suffix picks the "
                    "format; none means .png) or a folder (default: %(default)s)")
    ap.add_argument("--offline", action="store_true",
                    help="do not try to download MNIST; use the bundled sample when ./data lacks it")
    ap.add_argument("--timeout", type=seconds, default=10.0,
                    help="seconds allowed to each network step of the download (default: %(default)s)")
    ap.add_argument("--threads", type=count(1, os.cpu_count() or 1), default=1,
                    help="CPU threads for torch, at most the CPU count (default: %(default)s: the "
                    "model is small, and more threads crawl when other work shares the cores)")
    ap.add_argument("--seed", type=count(0, 2**64 - 1), default=0,
                    help="seed of torch's generator: weights, dropout and the loaders' "
                    "shuffle (default: %(default)s)")
    ap.add_argument("--device", default=None, metavar="DEVICE",
                    help="torch device to train on, such as cpu, cuda or cuda:1 (default: cuda "
                    "when torch sees a GPU, else cpu)")
    args = ap.parse_args(argv)
    import_plotting()  # the --out check asks matplotlib which formats it writes
    out = output_path(ap, args.out)
    check_data()
    import_torch()
    device = train_device(ap, args.device)

    start = time.perf_counter()
    train_loader, test_loader = load_mnist(args.batch_size, args.offline, args.timeout)
    smallest = min(len(train_loader.dataset), len(test_loader.dataset))
    if args.batch_size > smallest:
        # Both loaders drop their last partial batch: one would yield nothing.
        ap.error(f"argument --batch-size: must be at most {smallest:,}, the size of the "
                 f"smaller of the two sets in ./data, got {args.batch_size:,}")
    # Process-wide settings only once every check has passed (the loaders
    # draw their shuffle from the global generator when iterated, not before).
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    print(f"MNIST: {len(train_loader.dataset):,} training and {len(test_loader.dataset):,} "
          f"test digits; batch size {args.batch_size}; device {device}")

    model = small_cnn().to(device)
    train(model, train_loader, device, args.epochs, args.limit_batches)
    correct, seen = evaluate(model, test_loader, device, args.limit_batches)
    print(f"Test accuracy: {100 * correct / seen:.2f} % ({correct:,} correct) on {seen:,} test digits")

    images, sal, pred, true = saliency(model, test_loader, device)
    save_figure(images, sal, pred, true, out)
    print(f"Saliency map of {len(images)} probe digits: {out}")
    print(f"Done in {time.perf_counter() - start:.0f} s")


def cli(argv=None):
    """main() for the command line: Ctrl-C ends the run with one line and the
    status a shell gives a process that SIGINT stopped (130), instead of a
    traceback through whatever torch was doing."""
    try:
        main(argv)
    except KeyboardInterrupt:
        print(f"{Path(__file__).name}: interrupted", file=sys.stderr)  # a bar ends its line itself
        sys.exit(130)


if __name__ == "__main__":
    cli()
