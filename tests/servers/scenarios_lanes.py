"""Channel scenarios for fake_sshd.py: a server that grants one session channel per
connection and refuses every later one, as a server with a limit of one session does.
"""

from fake_sshd import Scenario, Session


def _first_channel_only(ctx):
    ctx.sessions = getattr(ctx, "sessions", 0) + 1
    return Session(SCENARIOS["onechannel"], ctx) if ctx.sessions == 1 else False


SCENARIOS = {
    "onechannel": Scenario(session=_first_channel_only,
                           doc="one session channel per connection, later ones refused"),
}
