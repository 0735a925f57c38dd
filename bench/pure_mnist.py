"""The MNIST loaders as a user would write them in plain Python."""
import torchvision
from torch.utils.data import DataLoader
from torchvision import transforms


def mnist_loaders(batch_size=64):
    tfm = transforms.ToTensor()
    train_ds = torchvision.datasets.MNIST(root="./data", train=True, download=True, transform=tfm)
    test_ds = torchvision.datasets.MNIST(root="./data", train=False, download=True, transform=tfm)
    train_loader = DataLoader(train_ds, batch_size=batch_size, shuffle=True, drop_last=True)
    test_loader = DataLoader(test_ds, batch_size=batch_size, shuffle=True, drop_last=True)
    return train_loader, test_loader
