class DataLoader:
    """Keeps what it was built with; refuses a batch size below 1 as torch's does."""

    def __init__(self, dataset, batch_size=1, shuffle=False, drop_last=False):
        if not isinstance(batch_size, int) or batch_size <= 0:
            raise ValueError(f"batch_size should be a positive integer value, but got batch_size={batch_size}")
        self.dataset, self.batch_size, self.shuffle, self.drop_last = dataset, batch_size, shuffle, drop_last
