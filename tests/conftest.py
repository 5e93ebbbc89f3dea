"""Shared fixtures for the ovila_genetic_py test suite."""

import types

import pytest

import ovila_genetic_py as og

import reference

# The 13-task product-development process matrix of A. A. Yassine,
# "An Introduction to Modeling and Analyzing Complex Product Development
# Processes Using the Design Structure Matrix (DSM) Method", University of
# Illinois at Urbana-Champaign, 2004 (copy in tests/data/process-13-tasks.csv).
TASKS13_LABELS, TASKS13_MATRIX, TASKS13_N = reference.load_dsm("process-13-tasks.csv")

# 3x3 matrix with marks only at cells (0, 1) and (1, 2).
SMALL3 = [0.0, 1.0, 0.0,
          0.0, 0.0, 1.0,
          0.0, 0.0, 0.0]

SETTINGS_FIELDS = ("n_genes", "n_chromosomes", "n_generations", "n_records",
                   "n_hall_of_fame", "p_crossover", "p_mutation")

SGA_PARAMETERS = ("settings", "generator", "evaluator", "recorder", "selector",
                  "crossover", "mutator", "convergence")


def make_settings(n_genes=6, p_crossover=0.9, p_mutation=0.2, n_chromosomes=6,
                  n_generations=3, n_records=None, n_hall_of_fame=None):
    return og.SequencingSettings(n_genes, p_crossover, p_mutation,
                                 n_chromosomes=n_chromosomes,
                                 n_generations=n_generations,
                                 n_records=n_records,
                                 n_hall_of_fame=n_hall_of_fame)


def namespace_settings(**overrides):
    values = dict(n_genes=6, n_chromosomes=6, n_generations=3, n_records=None,
                  n_hall_of_fame=None, p_crossover=0.9, p_mutation=0.2)
    values.update(overrides)
    return types.SimpleNamespace(**values)


def sga_arguments(settings=None, **overrides):
    """The eight arguments of sequence_sga as a dict, with workable defaults."""
    arguments = dict(
        settings=make_settings() if settings is None else settings,
        generator=og.GeneratorKinds.RandomSequence,
        evaluator=og.EvaluatorValue(1.0),
        recorder=og.RecorderKinds.FitnessStatistics,
        selector=og.SelectorKinds.Roulette,
        crossover=og.CrossoverKinds.IPX,
        mutator=og.MutatorSwap(0.1),
        convergence=og.ConvergenceKinds.Never,
    )
    unknown = set(overrides) - set(arguments)
    assert not unknown, unknown
    arguments.update(overrides)
    return arguments


def run(settings=None, **overrides):
    arguments = sga_arguments(settings, **overrides)
    return og.sequence_sga(*(arguments[name] for name in SGA_PARAMETERS))


@pytest.fixture
def tasks13():
    return list(TASKS13_MATRIX)


@pytest.fixture
def small_settings():
    return make_settings()
