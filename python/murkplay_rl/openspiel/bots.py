"""Placeholder."""
AgentBot = BotAgent = ismcts_agent = ismcts_bot = None
