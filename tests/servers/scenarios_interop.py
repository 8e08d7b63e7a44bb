"""Scenarios that behave as servers other than OpenSSH do, for fake_sshd.py."""

import asyncssh

from fake_sshd import Scenario, Session

PLAIN = Scenario()


def one_channel(ctx):
    """The first session channel of a connection works; every later one is refused at its
    opening, as tinysshd refuses a second channel (an SCP channel beside the SFTP one, or
    another SFTP channel of a multi-channel upload)."""
    ctx.channels = getattr(ctx, "channels", 0) + 1
    if ctx.channels > 1:
        raise asyncssh.ChannelOpenError(asyncssh.OPEN_RESOURCE_SHORTAGE,
                                        "one channel per connection")
    return Session(PLAIN, ctx)


SCENARIOS = {
    "onechannel": Scenario(session=one_channel,
                           doc="one session channel per connection, later ones refused"),
}
