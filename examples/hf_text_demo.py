"""A transformers text classifier driven through tarnex's dict convention.

A tiny BERT sequence classifier (built from a config, randomly initialised:
nothing is downloaded) learns a synthetic sentiment task: each sentence holds
filler words and one word of praise or blame, and the label says which. The
tokenizer is built in code from the task's vocabulary; batches come from its
data collator. Every batch goes `dict(...)` -> `split_batch` -> `to_device`
-> `forward` (the logits) while the model trains; then the held-out accuracy.
Last, `example_probe` cuts 8 sentences out of a test batch, `example_tensor`
takes their token ids, and `set_primary_input` puts a gradient-tracking copy
of their embeddings (`inputs_embeds`, first in the dict) through the model:
the gradient's size per token is a saliency, printed under each sentence.

    python examples/hf_text_demo.py
    python examples/hf_text_demo.py --quick     # a few seconds: what its test runs

Needs transformers: pip install "tarnex[examples]".
"""
import argparse
import os
import random
import sys
import time

# No hub access: the model and the tokenizer are built here, so nothing may be
# fetched (set before transformers is imported, which reads it once).
os.environ.setdefault("HF_HUB_OFFLINE", "1")

# torch, transformers and the rest are imported by main() once the options
# have been read: --help and a refused option end at once, not after seconds
# of imports.
torch = F = Tokenizer = models = pre_tokenizers = processors = tqdm = None
BertConfig = BertForSequenceClassification = DataCollatorWithPadding = None
PreTrainedTokenizerFast = bk = None


def import_libraries():
    global torch, F, Tokenizer, models, pre_tokenizers, processors, tqdm, BertConfig
    global BertForSequenceClassification, DataCollatorWithPadding, PreTrainedTokenizerFast, bk
    try:
        import torch
        import torch.nn.functional as F
        from tokenizers import Tokenizer, models, pre_tokenizers, processors
        from tqdm import tqdm
        from transformers import (
            BertConfig,
            BertForSequenceClassification,
            DataCollatorWithPadding,
            PreTrainedTokenizerFast,
        )

        from tarnex.core import _batchkit as bk
    except ImportError as e:
        sys.exit(f"{os.path.basename(__file__)} needs {e.name or 'transformers'}: "
                 'pip install "tarnex[examples]"')

FILLER = ("the movie plot was a film story with this that cast acting script "
          "music ending scene and it felt very quite rather").split()
POSITIVE = "good great fun superb moving lovely".split()
NEGATIVE = "bad dull awful boring weak messy".split()
LABELS = ("neg", "pos")
SPECIAL = ["[PAD]", "[UNK]", "[CLS]", "[SEP]"]
NOT = ["not"]
NEGATED = 1 / 3  # the share of sentences with "not" before the sentiment word


def make_tokenizer():
    """A word-level tokenizer over the task's vocabulary, wrapped so that it
    pads, adds [CLS] ... [SEP] and works with the transformers collators."""
    vocab = {w: i for i, w in enumerate(SPECIAL + NOT + FILLER + POSITIVE + NEGATIVE)}
    core = Tokenizer(models.WordLevel(vocab, unk_token="[UNK]"))
    core.pre_tokenizer = pre_tokenizers.Whitespace()
    core.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", vocab["[CLS]"]), ("[SEP]", vocab["[SEP]"])])
    return PreTrainedTokenizerFast(tokenizer_object=core, pad_token="[PAD]", unk_token="[UNK]",
                                   cls_token="[CLS]", sep_token="[SEP]")


def make_sentences(n, rng):
    """n (text, label) pairs: 3 to 12 filler words and one sentiment word at a
    random place, preceded by "not" in a third of the sentences; label 1 when
    the sentence praises ("not dull" praises, "not great" blames): the label
    depends on two words together, which no single word's weight can decide."""
    pairs = []
    for _ in range(n):
        words = rng.choices(FILLER, k=rng.randint(3, 12))
        praise = rng.random() < 0.5
        negated = rng.random() < NEGATED
        phrase = ["not"] * negated + [rng.choice(POSITIVE if praise else NEGATIVE)]
        at = rng.randint(0, len(words))
        words[at:at] = phrase
        pairs.append((" ".join(words), int(praise != negated)))
    return pairs


def loader(pairs, tokenizer, batch_size, shuffle):
    """Features tokenized once, unpadded; the collator pads each batch to its
    longest sentence and hands back a BatchEncoding."""
    features = [{**tokenizer(text), "labels": label} for text, label in pairs]
    return torch.utils.data.DataLoader(features, batch_size=batch_size, shuffle=shuffle,
                                       collate_fn=DataCollatorWithPadding(tokenizer))


def batches(loader):
    """(x, y) per batch. The collator's BatchEncoding is a mapping but not a
    dict, and tarnex tells the conventions apart by "is it a dict?": dict(...)
    makes it one, so split_batch takes "labels" out as y and x is the rest."""
    for batch in loader:
        yield bk.split_batch(dict(batch))


def train(model, loader, device, epochs):
    opt = torch.optim.AdamW(model.parameters(), lr=3e-3)
    model.train()
    for epoch in range(1, epochs + 1):
        seen = correct = 0
        bar = tqdm(batches(loader), total=len(loader), desc=f"epoch {epoch}/{epochs}",
                   unit="batch", mininterval=0.5)  # stderr: a piped log keeps the results only
        for x, y in bar:
            x, y = bk.to_device(x, device), y.to(device)
            logits = bk.forward(model, x)  # model(**x).logits
            loss = F.cross_entropy(logits, y)
            opt.zero_grad()
            loss.backward()
            opt.step()
            seen += len(y)
            correct += int((logits.argmax(1) == y).sum())
            bar.set_postfix(loss=f"{loss.item():.3f}", acc=f"{correct / seen:.3f}")
        bar.close()


def evaluate(model, loader, device):
    model.eval()
    seen = correct = 0
    with torch.no_grad():
        for x, y in batches(loader):
            logits = bk.forward(model, bk.to_device(x, device))
            correct += int((logits.argmax(1) == y.to(device)).sum())
            seen += len(y)
    return correct, seen


def saliency(model, loader, device, steps=16):
    """Per-token saliency of the predicted class for the (at most) 8 probe
    sentences of a test batch, by integrated gradients: d logit / d embedding
    averaged along the way from an all-zero embedding to the real one, times
    the embedding, summed over its width. Plain gradients fade for the very
    word the model is surest about (its effect saturates); these do not, and
    each sentence's values add up to its logit's change along that way.
    Token ids are integers and cannot track gradients, so the model is fed
    their embeddings instead, as `inputs_embeds`, the dict's first entry: the
    one set_primary_input replaces."""
    model.eval()
    x, y = next(batches(loader))
    probe = bk.example_probe(bk.to_device(x, device))  # every tensor cut to 8 rows
    labels = bk.example_probe(y)
    ids = bk.example_tensor(probe)  # the first tensor: input_ids
    rest = {k: v for k, v in probe.items() if k != "input_ids"}
    embedded = {"inputs_embeds": model.get_input_embeddings()(ids).detach(), **rest}
    emb = bk.example_tensor(embedded)  # now the embeddings: (n, length, width)
    n = len(emb)
    # All the steps of the way in one batch: step k scales the embeddings by k/steps.
    scale = torch.arange(1, steps + 1, device=emb.device, dtype=emb.dtype) / steps
    tracked = (scale[:, None, None, None] * emb).flatten(0, 1).requires_grad_(True)
    batch = {k: v.repeat(steps, *[1] * (v.dim() - 1)) for k, v in embedded.items()}
    logits = bk.forward(model, bk.set_primary_input(batch, tracked))
    pred = logits[-n:].argmax(1)  # the last step is the real input
    logits.gather(1, pred.repeat(steps)[:, None]).sum().backward()
    grad = tracked.grad.unflatten(0, (steps, n)).mean(0)
    sal = (grad * emb).sum(-1).abs() * probe["attention_mask"]  # padding: 0
    return ids.cpu(), sal.cpu(), pred.cpu(), labels.cpu()


BLOCKS = " ▁▂▃▄▅▆▇█"


def show_saliency(tokenizer, ids, sal, pred, true):
    """One sentence per line, each word followed by a bar for its saliency
    (scaled per sentence; [CLS] and [SEP] left out). The top word is marked."""
    print("Saliency per word (integrated gradients of the predicted logit, per sentence: "
          f"{BLOCKS[1]} low .. {BLOCKS[-1]} high; * the top word):")
    for row, s, p, t in zip(ids.tolist(), sal, pred.tolist(), true.tolist()):
        words = tokenizer.convert_ids_to_tokens(row)
        keep = [i for i, w in enumerate(words) if w not in SPECIAL]
        top = max(float(s[i]) for i in keep)
        best = max(keep, key=lambda i: float(s[i]))
        text = " ".join(f"{'*' if i == best else ''}{words[i]}"
                        f"{BLOCKS[max(1, round(8 * float(s[i]) / top))]}" for i in keep)
        mark = "  " if p == t else "x "
        print(f"  {mark}pred {LABELS[p]} true {LABELS[t]}: {text}")


def count(low, high=None):
    """argparse type: an int in [low, high]."""
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="a shorter run (1 epoch, 200 test sentences) for a smoke test")
    ap.add_argument("--train-size", type=count(1), default=4000, metavar="N",
                    help="training sentences (default: %(default)s)")
    ap.add_argument("--test-size", type=count(8), default=1000, metavar="N",
                    help="held-out sentences (default: %(default)s; --quick: 200)")
    ap.add_argument("--epochs", type=count(1), default=2,
                    help="passes over the training sentences (default: %(default)s; --quick: 1)")
    ap.add_argument("--batch-size", type=count(8), default=32,
                    help="sentences per batch, at least 8 (default: %(default)s)")
    ap.add_argument("--threads", type=count(1, os.cpu_count() or 1), default=1,
                    help="CPU threads for torch, at most the CPU count (default: %(default)s: "
                    "the model is tiny)")
    ap.add_argument("--seed", type=count(0, 2**64 - 1), default=0,
                    help="seed of the sentences, the weights and the shuffle (default: %(default)s)")
    args = ap.parse_args(argv)
    if args.quick:
        args.test_size, args.epochs = 200, 1
    if args.batch_size > args.test_size:
        ap.error(f"argument --batch-size: must be at most --test-size ({args.test_size})")
    import_libraries()

    start = time.perf_counter()
    rng = random.Random(args.seed)
    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    # to_device takes the device as a str: str(model.device) where a
    # torch.device is at hand.
    device = "cuda" if torch.cuda.is_available() else "cpu"

    tokenizer = make_tokenizer()
    train_loader = loader(make_sentences(args.train_size, rng), tokenizer, args.batch_size, True)
    test_loader = loader(make_sentences(args.test_size, rng), tokenizer, args.batch_size, False)
    config = BertConfig(vocab_size=tokenizer.vocab_size, hidden_size=32, num_hidden_layers=2,
                        num_attention_heads=2, intermediate_size=64, max_position_embeddings=32,
                        num_labels=len(LABELS), pad_token_id=tokenizer.pad_token_id)
    model = BertForSequenceClassification(config).to(device)
    print(f"Task: {args.train_size:,} training and {args.test_size:,} test sentences, "
          f"{tokenizer.vocab_size} words; model: BERT, {config.num_hidden_layers} layers of "
          f"width {config.hidden_size}, {sum(p.numel() for p in model.parameters()):,} "
          f"parameters; device {device}")

    train(model, train_loader, device, args.epochs)
    correct, seen = evaluate(model, test_loader, device)
    print(f"Test accuracy: {100 * correct / seen:.2f} % ({correct:,} of {seen:,} sentences; "
          "chance: 50 %)")
    show_saliency(tokenizer, *saliency(model, test_loader, device))
    print(f"Done in {time.perf_counter() - start:.0f} s")


def cli(argv=None):
    """main() for the command line: Ctrl-C ends the run with one line and
    status 130 (a shell's for a process SIGINT stopped), not a traceback."""
    try:
        main(argv)
    except KeyboardInterrupt:
        print(f"{os.path.basename(__file__)}: interrupted", file=sys.stderr)
        sys.exit(130)


if __name__ == "__main__":
    cli()
