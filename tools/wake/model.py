"""The detector network (torch) and its sequential description.

Only layer types the runtime knows: conv2d, dwconv2d (batch-norm folded at export),
relu, maxpool2d, flatten, dense. No pooling over the whole time axis: the order of
"hej" and "Selvina" in the window matters.
"""
import torch
from torch import nn


def conv_bn(cin, cout, k, stride=1, pad=0, groups=1):
    return [nn.Conv2d(cin, cout, k, stride, pad, groups=groups, bias=False), nn.BatchNorm2d(cout), nn.ReLU()]


class WakeNet(nn.Module):
    EMBEDDING = 64

    def __init__(self, window_frames=150, mel=40, width=1):
        super().__init__()
        c1, c2, c3 = 16 * width, 32 * width, 64 * width
        self.features = nn.Sequential(
            *conv_bn(1, c1, 3, 2, 1),
            nn.MaxPool2d(2, 2),
            *conv_bn(c1, c1, 3, 1, 1, groups=c1),
            *conv_bn(c1, c2, 1),
            nn.MaxPool2d(2, 2),
            *conv_bn(c2, c2, 3, 1, 1, groups=c2),
            *conv_bn(c2, c3, 1),
            *conv_bn(c3, c3, 3, 1, 1, groups=c3),
            *conv_bn(c3, c3, 1),
            nn.MaxPool2d((2, 5), (2, 5)),
            nn.Flatten(),
        )
        with torch.no_grad():
            n = self.features(torch.zeros(1, 1, window_frames, mel)).shape[1]
        self.flat = n
        self.head = nn.Sequential(nn.Linear(n, self.EMBEDDING), nn.ReLU(), nn.Dropout(0.2),
                                  nn.Linear(self.EMBEDDING, 1))

    def forward(self, x):
        return self.head(self.features(x.unsqueeze(1))).squeeze(1)


def macs(window_frames=150, mel=40, width=1):
    """Multiply-adds of one window through the exported layers."""
    net = WakeNet(window_frames, mel, width)
    total, x = 0, torch.zeros(1, 1, window_frames, mel)
    for m in list(net.features) + list(net.head):
        y = m(x)
        if isinstance(m, nn.Conv2d):
            total += y.numel() * (m.in_channels // m.groups) * m.kernel_size[0] * m.kernel_size[1]
        elif isinstance(m, nn.Linear):
            total += m.in_features * m.out_features
        x = y
    return total
