"""Type information for the ovila_genetic_py extension module."""

from collections.abc import Sequence, Set as AbstractSet
from typing import ClassVar, SupportsFloat, SupportsIndex, final

__all__ = [
    "Chromosome",
    "Population",
    "FitnessStatistics",
    "HallOfFame",
    "Lineage",
    "ConvergenceKinds",
    "CrossoverKinds",
    "CrossoverBlend",
    "CrossoverSimulatedBinary",
    "EvaluatorKinds",
    "EvaluatorMatrix",
    "EvaluatorValue",
    "GeneratorKinds",
    "MutatorKinds",
    "MutatorSwap",
    "RecorderKinds",
    "RecorderHdrHistogram",
    "SelectorKinds",
    "SequencingSettings",
    "sequence_sga",
]

_Int = int | SupportsIndex
_Float = float | SupportsFloat | SupportsIndex

@final
class Chromosome:
    """A chromosome represented by a vector of genes and a fitness value."""
    def __new__(cls, genes: Sequence[_Int], fitness: _Float | None = None) -> Chromosome: ...
    @property
    def genes(self) -> list[int]:
        """The genes of this chromosome."""
    @genes.setter
    def genes(self, value: Sequence[_Int]) -> None: ...
    @property
    def fitness(self) -> float | None:
        """The fitness of this chromosome."""
    @fitness.setter
    def fitness(self, value: _Float | None) -> None: ...

@final
class Population:
    """A population consisting of multiple chromosomes and a generation number."""
    def __new__(cls, chromosomes: Sequence[Chromosome], generation: _Int) -> Population: ...
    @property
    def chromosomes(self) -> list[Chromosome]:
        """Chromosomes of this population."""
    @chromosomes.setter
    def chromosomes(self, value: Sequence[Chromosome]) -> None: ...
    @property
    def generation(self) -> int:
        """Generation index."""
    @generation.setter
    def generation(self, value: _Int) -> None: ...

@final
class FitnessStatistics:
    """Fitness statistics record."""
    def __new__(
        cls, size: _Int, min: _Float, max: _Float, sum: _Float, mean: _Float, variance: _Float
    ) -> FitnessStatistics: ...
    @property
    def size(self) -> int: ...
    @size.setter
    def size(self, value: _Int) -> None: ...
    @property
    def min(self) -> float: ...
    @min.setter
    def min(self, value: _Float) -> None: ...
    @property
    def max(self) -> float: ...
    @max.setter
    def max(self, value: _Float) -> None: ...
    @property
    def sum(self) -> float: ...
    @sum.setter
    def sum(self, value: _Float) -> None: ...
    @property
    def mean(self) -> float: ...
    @mean.setter
    def mean(self, value: _Float) -> None: ...
    @property
    def variance(self) -> float: ...
    @variance.setter
    def variance(self, value: _Float) -> None: ...

@final
class HallOfFame:
    """A Hall Of Fame contains the fittest unique chromosomes."""
    def __new__(
        cls, chromosomes: Sequence[Chromosome], uniques: AbstractSet[Sequence[_Int]], capacity: _Int
    ) -> HallOfFame: ...
    @property
    def chromosomes(self) -> list[Chromosome]:
        """Chromosomes in the Hall Of Fame. From best to worst."""
    @chromosomes.setter
    def chromosomes(self, value: Sequence[Chromosome]) -> None: ...
    @property
    def uniques(self) -> set[tuple[int, ...]]:
        """Unique gene sequences (Chromosomes) in the Hall Of Fame."""
    @uniques.setter
    def uniques(self, value: AbstractSet[Sequence[_Int]]) -> None: ...
    @property
    def capacity(self) -> int:
        """Maximum Hall Of Fame capacity. Defaults to 1 (the single best chromosome)."""
    @capacity.setter
    def capacity(self, value: _Int) -> None: ...

@final
class Lineage:
    def __new__(
        cls,
        generations: Sequence[Population],
        records: Sequence[FitnessStatistics],
        hall_of_fame: HallOfFame,
        n_generations: _Int | None = None,
        n_records: _Int | None = None,
    ) -> Lineage: ...
    @property
    def generations(self) -> list[Population]:
        """Past generations. Up to `n_generations` are kept."""
    @generations.setter
    def generations(self, value: Sequence[Population]) -> None: ...
    @property
    def records(self) -> list[FitnessStatistics]:
        """Records of past generations. Up to `n_records` are kept."""
    @records.setter
    def records(self, value: Sequence[FitnessStatistics]) -> None: ...
    @property
    def hall_of_fame(self) -> HallOfFame:
        """Hall of Fame of best performing chromosomes."""
    @hall_of_fame.setter
    def hall_of_fame(self, value: HallOfFame) -> None: ...
    @property
    def n_generations(self) -> int | None:
        """Optional capacity for the generations VecDeque."""
    @n_generations.setter
    def n_generations(self, value: _Int | None) -> None: ...
    @property
    def n_records(self) -> int | None:
        """Optional capacity for the records VecDeque."""
    @n_records.setter
    def n_records(self, value: _Int | None) -> None: ...

@final
class ConvergenceKinds:
    Never: ClassVar[ConvergenceKinds]
    def __new__(cls) -> ConvergenceKinds: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CrossoverKinds:
    IPX: ClassVar[CrossoverKinds]
    Point: ClassVar[CrossoverKinds]
    Blend: ClassVar[CrossoverKinds]
    SimulatedBinary: ClassVar[CrossoverKinds]
    def __new__(cls) -> CrossoverKinds: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CrossoverBlend:
    def __new__(cls, alpha: _Float) -> CrossoverBlend: ...
    @property
    def alpha(self) -> float: ...
    @alpha.setter
    def alpha(self, value: _Float) -> None: ...
    @property
    def kind(self) -> CrossoverKinds: ...
    @kind.setter
    def kind(self, value: CrossoverKinds) -> None: ...

@final
class CrossoverSimulatedBinary:
    def __new__(cls, eta: _Float) -> CrossoverSimulatedBinary: ...
    @property
    def eta(self) -> float: ...
    @eta.setter
    def eta(self, value: _Float) -> None: ...
    @property
    def kind(self) -> CrossoverKinds: ...
    @kind.setter
    def kind(self, value: CrossoverKinds) -> None: ...

@final
class EvaluatorKinds:
    FeedbackDistance: ClassVar[EvaluatorKinds]
    FeedbackMarks: ClassVar[EvaluatorKinds]
    LowerLeftDistance: ClassVar[EvaluatorKinds]
    Value: ClassVar[EvaluatorKinds]
    def __new__(cls) -> EvaluatorKinds: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class EvaluatorMatrix:
    def __new__(cls, kind: EvaluatorKinds, matrix: Sequence[_Float], offset: _Int | None = None) -> EvaluatorMatrix: ...
    @staticmethod
    def kinds() -> set[str]: ...
    @property
    def offset(self) -> int | None: ...
    @offset.setter
    def offset(self, value: _Int | None) -> None: ...
    @property
    def matrix(self) -> list[float]: ...
    @matrix.setter
    def matrix(self, value: Sequence[_Float]) -> None: ...
    @property
    def kind(self) -> EvaluatorKinds: ...
    @kind.setter
    def kind(self, value: EvaluatorKinds) -> None: ...

@final
class EvaluatorValue:
    def __new__(cls, value: _Float) -> EvaluatorValue: ...
    @property
    def value(self) -> float: ...
    @value.setter
    def value(self, value: _Float) -> None: ...
    @property
    def kind(self) -> EvaluatorKinds: ...
    @kind.setter
    def kind(self, value: EvaluatorKinds) -> None: ...

@final
class GeneratorKinds:
    """Generator kinds. Primary use is for generators without further parameters."""
    RandomSequence: ClassVar[GeneratorKinds]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class MutatorKinds:
    Swap: ClassVar[MutatorKinds]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class MutatorSwap:
    def __new__(cls, p_swap: _Float) -> MutatorSwap: ...

@final
class RecorderKinds:
    FitnessStatistics: ClassVar[RecorderKinds]
    HdrHistogram: ClassVar[RecorderKinds]
    def __new__(cls) -> RecorderKinds: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class RecorderHdrHistogram:
    def __new__(cls, sigfig: _Int) -> RecorderHdrHistogram: ...

@final
class SelectorKinds:
    Roulette: ClassVar[SelectorKinds]
    Random: ClassVar[SelectorKinds]
    def __new__(cls) -> SelectorKinds: ...
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class SequencingSettings:
    """Common settings for a simple genetic algorithm."""
    def __new__(
        cls,
        n_genes: _Int,
        p_crossover: _Float,
        p_mutation: _Float,
        n_chromosomes: _Int | None = None,
        n_generations: _Int | None = None,
        n_records: _Int | None = None,
        n_hall_of_fame: _Int | None = None,
    ) -> SequencingSettings: ...
    @property
    def n_genes(self) -> int:
        """Number of genes in each chromosome to generate if needed."""
    @n_genes.setter
    def n_genes(self, value: _Int) -> None: ...
    @property
    def n_chromosomes(self) -> int | None:
        """Number of chromosomes to strive for in each population. (should be even)"""
    @n_chromosomes.setter
    def n_chromosomes(self, value: _Int | None) -> None: ...
    @property
    def n_generations(self) -> int | None:
        """Maximum number of generations to evaluate."""
    @n_generations.setter
    def n_generations(self, value: _Int | None) -> None: ...
    @property
    def n_records(self) -> int | None:
        """Maximum number of generation records to keep."""
    @n_records.setter
    def n_records(self, value: _Int | None) -> None: ...
    @property
    def n_hall_of_fame(self) -> int | None:
        """Number of best performing chromosomes to keep."""
    @n_hall_of_fame.setter
    def n_hall_of_fame(self, value: _Int | None) -> None: ...
    @property
    def p_crossover(self) -> float:
        """Probability of crossover happening between each pair of chromosomes."""
    @p_crossover.setter
    def p_crossover(self, value: _Float) -> None: ...
    @property
    def p_mutation(self) -> float:
        """Probability of mutation happening for each chromosome."""
    @p_mutation.setter
    def p_mutation(self, value: _Float) -> None: ...

def sequence_sga(
    settings: SequencingSettings,
    generator: GeneratorKinds,
    evaluator: EvaluatorMatrix | EvaluatorValue,
    recorder: RecorderKinds | RecorderHdrHistogram,
    selector: SelectorKinds,
    crossover: CrossoverKinds | CrossoverBlend | CrossoverSimulatedBinary,
    mutator: MutatorSwap,
    convergence: ConvergenceKinds,
) -> Lineage: ...
