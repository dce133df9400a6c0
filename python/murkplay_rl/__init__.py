"""murkplay for reinforcement learning: many games stepped at once into numpy and torch arrays,
single-game fast paths, and the tools RL users already run.

Importing the package loads only its native engine; numpy and the optional tools (PettingZoo,
pyarrow, Ray, python-chess) are imported by the parts that need them.
"""
